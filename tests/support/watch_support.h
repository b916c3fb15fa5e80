#pragma once

// Drives the window's IP watcher through a fake host, one check at a time.
#include <QTest>

#include <string>
#include <vector>

#include "app/ip_watch.h"
#include "support/fake_env.h"
#include "ui/form1.h"

namespace testing_support {

// Makes the watcher check until a check has answered what `env` says now and that answer has
// reached the window. A check finds the timer's own lookup in flight now and then, and then
// does nothing; that lookup may answer what `env` said before.
inline bool CheckAnswered(FakeEnv& env, ui::TForm1& form) {
    app::TIdIPWatch& watch = *form.IdIPWatch1;
    const auto inner = watch.OnLookupDone;
    bool matched = false;
    watch.OnLookupDone = [&](const net::LookupResult& result) {
        inner(result);
        matched = env.addresses ? result.error == 0 &&
                                      app::DottedAddresses(result.addresses) == *env.addresses
                                : result.error != 0;
    };
    for (int tries = 0; tries < 10 && !matched; ++tries) {
        watch.Check();
        static_cast<void>(QTest::qWaitFor([&] { return matched; }, 1000));
    }
    watch.OnLookupDone = inner;
    return matched;
}

}  // namespace testing_support
