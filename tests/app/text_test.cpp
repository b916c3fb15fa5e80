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

struct EncodeCase {
    const char* label;
    QString text;
    std::string bytes;
};

class EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, MapsCharactersToBytes) {
    EXPECT_EQ(app::FromQString(GetParam().text), GetParam().bytes);
}

const EncodeCase kEncodes[] = {
    {"ascii", QStringLiteral("TEST"), "TEST"},
    {"cyrillic_capital_te", QStringLiteral("Т"), "\xD2"},
    {"latin_T_stays_latin", QStringLiteral("T"), "T"},
    {"yo", QStringLiteral("Ёё"), "\xA8\xB8"},
    {"numero_and_euro", QStringLiteral("№€"), "\xB9\x88"},
    {"chinese", QStringLiteral("\u4E2D"), "?"},
    {"nul_kept", QString(QChar(0)), std::string(1, '\0')},
};

INSTANTIATE_TEST_SUITE_P(Table, EncodeTest, ::testing::ValuesIn(kEncodes),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Cp1251Text, Utf8LiteralsBecomeCodePageBytes) {
    EXPECT_EQ(app::Cp1251("Отключен ТСР"), "\xCE\xF2\xEA\xEB\xFE\xF7\xE5\xED \xD2\xD1\xD0");
}

}  // namespace
