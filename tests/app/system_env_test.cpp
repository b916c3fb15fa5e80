// The real host seam: its clock reads the local zone, and its pause really waits.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "app/env.h"
#include "app/text.h"

namespace {

TEST(SystemEnvTest, ClockReadsNowInTheLocalZone) {
    // Far from UTC, so that a reading in UTC, or of another instant, cannot pass.
    setenv("TZ", "FAR-13", 1);
    tzset();
    const auto fields = [](const base::LocalDateTime& t) {
        return std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second, t.isoWeekday);
    };
    const std::time_t before = std::time(nullptr);
    const base::LocalDateTime got = app::SystemEnv().LocalTime();
    bool matched = false;
    for (std::time_t t = before; t <= std::time(nullptr); ++t) {
        matched |= fields(got) == fields(base::LocalDateTimeAt(t));
    }
    EXPECT_TRUE(matched);
    std::tm utc{};
    gmtime_r(&before, &utc);
    EXPECT_NE(got.hour, utc.tm_hour);
    unsetenv("TZ");
    tzset();
}

TEST(SystemEnvTest, PauseWaitsAtLeastAsLongAsAsked) {
    app::SystemEnv env;
    const auto start = std::chrono::steady_clock::now();
    env.Pause(500);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(490));
}

TEST(SystemEnvTest, BoxesShowTheirTextLiterally) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "system_env_test";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    app::SystemEnv env;
    const std::string markup = "<h1><i>x</i></h1>";
    QString shown;
    bool plain = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            if (label->text() != app::ToQString(markup)) continue;
            shown = label->text();
            // As markup the label would draw one large "x", far narrower than the characters.
            plain = label->sizeHint().width() >= label->fontMetrics().horizontalAdvance(shown);
        }
        box->accept();
    });
    env.ShowMessage(app::BoxKind::Plain, "caption", markup);
    EXPECT_EQ(shown.toStdString(), markup);
    EXPECT_TRUE(plain);
}

}  // namespace
