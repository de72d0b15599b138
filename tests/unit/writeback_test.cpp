#include "file/writeback.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "test_io.hpp"

namespace kestrom {
namespace {

using test::mem_file;

std::string pattern_bytes(std::size_t n, char seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + i * 7 % 251);
    return s;
}

TEST(Writeback, FileEndsWithExactlyTheNewContent) {
    struct sync_case {
        std::size_t old_size, new_size, piece;
    };
    // Old size -> new size, in pieces of: from and to nothing, shrinking, growing and equal over
    // several pieces, and lengths around the 64 KiB piece.
    // clang-format off
    const sync_case cases[] = {
        {10, 0, 65536}, {0, 10, 65536}, {0, 0, 65536}, {100, 37, 8}, {37, 100, 8}, {64, 64, 8},
        {65536, 65537, 65536}, {200000, 70000, 65536}, {70000, 200000, 65536},
        {131072, 131072, 65536},
    };
    // clang-format on
    for (const sync_case& c : cases) {
        mem_file file(pattern_bytes(c.old_size, 'o'));
        const std::string fresh = pattern_bytes(c.new_size, 'n');
        mem_file tmp(fresh);
        ::lseek(file.fd(), 0, SEEK_END);  // both as after a full read
        ::lseek(tmp.fd(), 0, SEEK_END);
        int error = 0;
        EXPECT_EQ(filesync(tmp.fd(), file.fd(), error, c.piece), SYNC_OK)
            << c.old_size << " -> " << c.new_size << " by " << c.piece;
        EXPECT_EQ(file.content(), fresh) << c.old_size << " -> " << c.new_size;
        EXPECT_EQ(error, 0);
    }
}

TEST(Writeback, BytesBeforeTheFirstDifferenceAreNotWritten) {
    struct from_case {
        std::size_t old_size, new_size, from, piece;
    };
    // The temporary file's head is junk: a write-back that rewrote it would show.
    // clang-format off
    const from_case cases[] = {
        {100, 37, 20, 8}, {37, 100, 37, 8}, {64, 64, 63, 8}, {64, 64, 64, 8}, {10, 0, 0, 8},
        {200000, 70000, 65537, 65536}, {70000, 200000, 69999, 65536}, {131072, 131072, 1, 65536},
    };
    // clang-format on
    for (const from_case& c : cases) {
        const std::string old_content = pattern_bytes(c.old_size, 'o');
        const std::string fresh = pattern_bytes(c.new_size, 'n');
        mem_file file(old_content);
        mem_file tmp(std::string(c.from, 'J') + fresh.substr(c.from));
        ::lseek(file.fd(), 0, SEEK_END);
        ::lseek(tmp.fd(), 0, SEEK_END);
        int error = 0;
        EXPECT_EQ(filesync(tmp.fd(), file.fd(), error, c.piece, c.from), SYNC_OK)
            << c.old_size << " -> " << c.new_size << " from " << c.from;
        EXPECT_EQ(file.content(), old_content.substr(0, c.from) + fresh.substr(c.from))
            << c.old_size << " -> " << c.new_size << " from " << c.from;
    }
}

TEST(Writeback, HeadIsCopiedToTheSameOffsetsWithoutMovingEither) {
    for (std::int64_t length : {0, 1, 65536, 200000}) {
        const std::string source = pattern_bytes(200000, 's');
        mem_file src(source), dest;
        ::lseek(src.fd(), 7, SEEK_SET);
        ::lseek(dest.fd(), 300000, SEEK_SET);
        int error = 0;
        EXPECT_TRUE(copy_range(dest.fd(), src.fd(), length, error)) << length;
        EXPECT_EQ(dest.content(), source.substr(0, static_cast<std::size_t>(length))) << length;
        EXPECT_EQ(::lseek(src.fd(), 0, SEEK_CUR), 7);
        EXPECT_EQ(::lseek(dest.fd(), 0, SEEK_CUR), 300000);
    }
    // A source shorter than the head is a failure, not a head of stale bytes.
    mem_file src("abc"), dest;
    int error = 0;
    EXPECT_FALSE(copy_range(dest.fd(), src.fd(), 10, error));
    EXPECT_NE(error, 0);
}

TEST(Writeback, ShortSourceFillsTheHeadWithZeros) {
    mem_file file("abcdefghij"), src("XYZ");
    int error = 0;
    EXPECT_EQ(copy_head(file.fd(), src.fd(), 8, error, 2), 3);
    EXPECT_EQ(file.content(), std::string("XYZ\0\0\0\0\0ij", 10));
}

/// The append of a growing file fails at a file-size limit: the file is cut back to its old
/// content and the failure is reported. Run in a child, where the limit cannot hurt the tests.
TEST(Writeback, FailedAppendKeepsTheOldContent) {
    for (std::size_t limit : {4096u, 5000u, 70000u}) {
        EXPECT_EXIT(
            {
                const std::string old_content = pattern_bytes(4000, 'o');
                const std::string fresh = pattern_bytes(100000, 'n');
                mem_file file(old_content);
                mem_file tmp(fresh);
                ::lseek(file.fd(), 0, SEEK_END);
                ::lseek(tmp.fd(), 0, SEEK_END);
                ::signal(SIGXFSZ, SIG_IGN);
                struct rlimit lim;
                lim.rlim_cur = lim.rlim_max = limit;
                ::setrlimit(RLIMIT_FSIZE, &lim);
                int error = 0;
                int r = filesync(tmp.fd(), file.fd(), error, 4096);
                bool ok = r == SYNC_KEPT_OLD && error == EFBIG && file.content() == old_content;
                std::exit(ok ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << "limit " << limit;
    }
}

}  // namespace
}  // namespace kestrom
