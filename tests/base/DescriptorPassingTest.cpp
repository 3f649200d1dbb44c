// One rule for every receiver of descriptors, checked over a socket pair: the expected
// descriptor is kept (the first to arrive), close-on-exec; any other is closed; control
// data cut short fails the read and leaves nothing open.
#include "base/DescriptorPassing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Sends one byte with descriptors attached, as a peer that means harm might.
bool SendMany(int socket, const std::vector<int>& descriptors) {
    std::vector<char> control(CMSG_SPACE(descriptors.size() * sizeof(int)));
    char byte = 'x';
    iovec io{&byte, 1};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(descriptors.size() * sizeof(int));
    std::memcpy(CMSG_DATA(header), descriptors.data(), descriptors.size() * sizeof(int));
    return ::sendmsg(socket, &message, MSG_NOSIGNAL) == 1;
}

bool SameFile(int a, int b) {
    struct stat sa {};
    struct stat sb {};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

class Passing : public ::testing::Test {
  protected:
    void SetUp() override {
        int ends[2] = {-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        sender.Reset(ends[0]);
        receiver.Reset(ends[1]);
        int pipe[2] = {-1, -1};
        ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
        first.Reset(pipe[0]);
        second.Reset(pipe[1]);
    }
    UniqueFd sender, receiver, first, second;
};

TEST_F(Passing, TheDescriptorArrivesWithTheBytesCloseOnExec) {
    ASSERT_TRUE(DescriptorPassing::Send(sender.Get(), "hello", first.Get()));
    char bytes[5] = {};
    UniqueFd passed;
    ASSERT_TRUE(DescriptorPassing::Receive(receiver.Get(), bytes, sizeof bytes, &passed));
    EXPECT_EQ(std::string(bytes, sizeof bytes), "hello");
    ASSERT_TRUE(passed.Valid());
    EXPECT_TRUE(SameFile(passed.Get(), first.Get()));
    EXPECT_NE(::fcntl(passed.Get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(Passing, OnlyTheFirstExpectedDescriptorIsKept) {
    const std::size_t before = OpenDescriptors();
    ASSERT_TRUE(SendMany(sender.Get(), {first.Get(), second.Get()}));
    ASSERT_TRUE(SendMany(sender.Get(), {second.Get()}));
    char bytes[2] = {};
    UniqueFd passed;
    ASSERT_TRUE(DescriptorPassing::Receive(receiver.Get(), bytes, sizeof bytes, &passed));
    EXPECT_TRUE(SameFile(passed.Get(), first.Get()));
    EXPECT_EQ(OpenDescriptors(), before + 1) << "the second and third were closed";

    // A receiver that expects none keeps none.
    passed.Reset();
    ASSERT_TRUE(SendMany(sender.Get(), {first.Get(), second.Get()}));
    ASSERT_TRUE(DescriptorPassing::Receive(receiver.Get(), bytes, 1, nullptr));
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(Passing, CutControlDataFailsAndLeavesNothingOpen) {
    const std::size_t before = OpenDescriptors();
    ASSERT_TRUE(SendMany(sender.Get(),
                         std::vector<int>(DescriptorPassing::kMaxDescriptors + 1, first.Get())));
    char byte = 0;
    UniqueFd passed;
    errno = 0;
    EXPECT_FALSE(DescriptorPassing::Receive(receiver.Get(), &byte, 1, &passed));
    EXPECT_EQ(errno, EBADMSG);
    passed.Reset();
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(Passing, AnEarlyEndIsEpipe) {
    ASSERT_TRUE(DescriptorPassing::Send(sender.Get(), "ab", first.Get()));
    sender.Reset();
    char bytes[4] = {};
    UniqueFd passed;
    errno = 0;
    EXPECT_FALSE(DescriptorPassing::Receive(receiver.Get(), bytes, sizeof bytes, &passed));
    EXPECT_EQ(errno, EPIPE);
}

}  // namespace
