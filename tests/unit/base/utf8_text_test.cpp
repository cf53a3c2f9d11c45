// Status texts in Windows-1251 read as UTF-8, for a terminal and the service log.
#include "base/utf8_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/base/cp1251.h"

namespace {

std::string utf8(const std::string& cp1251_text, size_t room = 512) {
    std::vector<char> out(room);
    utf8_from_cp1251(cp1251_text, out);
    return out.data();
}

TEST(Utf8Text, RussianStatusTextsReadAsUtf8) {
    EXPECT_EQ(utf8(cp1251("Клиент:  7777  Соединение 127.0.0.1")),
              "Клиент:  7777  Соединение 127.0.0.1");
    EXPECT_EQ(utf8(cp1251("Сервер:  7777 127.0.0.1 ")), "Сервер:  7777 127.0.0.1 ");
    EXPECT_EQ(utf8(cp1251("прм = 1:00:00  комп = 0:-1:-1     @01;\r\n")),
              "прм = 1:00:00  комп = 0:-1:-1     @01;");          // line ends dropped
    EXPECT_EQ(utf8("\xA8\xB8\xB9\x96\x98"), "Ёё№–\xEF\xBF\xBD");  // 0x98 has no character
    EXPECT_EQ(utf8_length("Связь разорвана"), 15u);
}

TEST(Utf8Text, ACutNeverSplitsACharacter) {
    std::string name = cp1251("Пулково");  // 7 letters, 14 bytes in UTF-8
    EXPECT_EQ(utf8(name, 8), "Пул");       // 6 bytes fit before the NUL, not 7
    EXPECT_EQ(utf8(name, 1), "");
}

}  // namespace
