#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "run/run_settings.h"
#include "run/tap_run.h"

namespace {

std::vector<std::string> words(std::initializer_list<const char*> list)
{
    return {list.begin(), list.end()};
}

int count_of(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

}  // namespace

TEST(SplitArguments, TabRunsCountAsOneAndEmptyFieldsVanish)
{
    EXPECT_TRUE(split_arguments("").empty());
    EXPECT_TRUE(split_arguments("\t\t").empty());
    EXPECT_EQ(split_arguments("\tprog\t\t/c\t-t\t37008\t"), words({"prog", "/c", "-t", "37008"}));
    // Words are not unquoted: a quoted word with a blank stays one word.
    EXPECT_EQ(split_arguments("p\t\"a b\""), words({"p", "\"a b\""}));
}

TEST(ModeWord, ConsoleWordIsDroppedInAnyCase)
{
    auto a = words({"prog", "/C", "-K"});
    drop_mode_word(a);
    EXPECT_EQ(a, words({"prog", "-K"}));
}

TEST(ModeWord, InstallAndRemoveDropTheServiceNameToo)
{
    auto a = words({"prog", "/i", "anything", "-t", "1"});
    drop_mode_word(a);
    EXPECT_EQ(a, words({"prog", "-t", "1"}));

    auto b = words({"prog", "/R"});
    drop_mode_word(b);
    EXPECT_TRUE(b.empty());
}

TEST(ModeWord, OtherWordsAndShortListsStay)
{
    auto a = words({"prog", "-c", "/c"});
    drop_mode_word(a);
    EXPECT_EQ(a, words({"prog", "-c", "/c"}));

    auto b = words({"prog"});
    drop_mode_word(b);
    EXPECT_EQ(b, words({"prog"}));
}

TEST(Shutdown, AnnouncesOnceWhenEnteredFromTwoThreadsAtOnce)
{
    settings.shutdown_done = false;
    settings.stop_requested = false;
    testing::internal::CaptureStdout();
    for (int round = 0; round < 20; ++round) {
        settings.shutdown_done = false;
        std::thread a([] { tap_shutdown(2); });
        std::thread b([] { tap_shutdown(15); });
        a.join();
        b.join();
        tap_shutdown(15);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count_of(out, "Shutting down..."), 20);
    EXPECT_TRUE(settings.stop_requested);
    EXPECT_EQ(settings.udp_socket.load(), net_invalid_socket);
    settings.shutdown_done = false;
    settings.stop_requested = false;
}

TEST(Shutdown, KeepsTheSocketWhileALoopRuns)
{
    ASSERT_EQ(net_startup(), 0);
    net_socket s = net_udp_socket();
    ASSERT_NE(s, net_invalid_socket);
    settings.udp_socket = s;
    settings.loop_running = true;
    testing::internal::CaptureStdout();
    tap_shutdown(15);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(settings.udp_socket.load(), s);
    EXPECT_TRUE(settings.stop_requested);

    // The run thread's call after the loop releases it.
    settings.loop_running = false;
    tap_shutdown(15);
    EXPECT_EQ(settings.udp_socket.load(), net_invalid_socket);
    settings.shutdown_done = false;
    settings.stop_requested = false;
}
