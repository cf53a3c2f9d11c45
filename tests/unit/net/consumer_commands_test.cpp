// What a processing server may send on the consumer link: commands, each a whole line.
#include "net/consumer.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

// Commands are whole lines whatever the chunking; anything else is thrown away.
TEST(ConsumerCommands, ActOnlyAsWholeLines) {
    ConsumerLink consumer;
    auto take = [&](std::string_view bytes) { consumer_take_commands(consumer, bytes); };
    take("#SET OUT DA");
    take("TE ORIGINAL\r");
    EXPECT_FALSE(consumer.original_output);
    take("\n");
    EXPECT_TRUE(consumer.original_output);
    take("hello\n#SET OUT DATE TEXT\nmore");
    EXPECT_FALSE(consumer.original_output);
    take(" #SET OUT DATE ORIGINAL\n#SET OUT DATE ORIGINALS\r\n");
    EXPECT_FALSE(consumer.original_output);
    take(std::string(100, 'x') + "#SET OUT DATE ORIGINAL\n");
    EXPECT_FALSE(consumer.original_output);
    take("#SET OUT DATE ORIGINAL\n");
    EXPECT_TRUE(consumer.original_output);
}

}  // namespace
