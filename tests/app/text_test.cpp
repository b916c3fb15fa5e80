#include "app/text.h"

#include <gtest/gtest.h>

#include <QStringDecoder>

namespace {

TEST(Cp1251Text, EveryByteDecodesLikeTheSystemCodecAndRoundTrips) {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    QStringDecoder system("windows-1251");
    ASSERT_TRUE(system.isValid());
    const QString ours = app::ToQString(bytes);
    const QString theirs = system.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    ASSERT_EQ(ours.size(), 256);
    ASSERT_EQ(theirs.size(), 256);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(ours[b].unicode(), theirs[b].unicode()) << "byte " << b;
    EXPECT_EQ(app::FromQString(ours), bytes);
}

TEST(Cp1251Text, WhatTheCodePageLacksBecomesOneQuestionMark) {
    EXPECT_EQ(app::FromQString(QStringLiteral("a\u00E9b")), "a?b");
    EXPECT_EQ(app::FromQString(QString::fromUtf8("\xF0\x9F\x98\x80")), "?");  // a surrogate pair
}

}  // namespace
