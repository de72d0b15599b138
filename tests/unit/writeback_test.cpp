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
        int error = 0;
        EXPECT_EQ(filesync(tmp.fd(), file.fd(), static_cast<std::int64_t>(c.new_size),
                           static_cast<std::int64_t>(c.old_size), error, c.piece),
                  SYNC_OK)
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
        int error = 0;
        EXPECT_EQ(filesync(tmp.fd(), file.fd(), static_cast<std::int64_t>(c.new_size),
                           static_cast<std::int64_t>(c.old_size), error, c.piece,
                           static_cast<std::int64_t>(c.from)),
                  SYNC_OK)
            << c.old_size << " -> " << c.new_size << " from " << c.from;
        EXPECT_EQ(file.content(), old_content.substr(0, c.from) + fresh.substr(c.from))
            << c.old_size << " -> " << c.new_size << " from " << c.from;
    }
}

TEST(Writeback, HeadIsCopiedToTheSameOffsetsWithoutMovingEither) {
    struct range_case {
        std::int64_t begin, end;
    };
    for (const range_case c :
         {range_case{0, 0}, {0, 1}, {0, 65536}, {0, 200000}, {70000, 200000}}) {
        const std::string source = pattern_bytes(200000, 's');
        mem_file src(source), dest;
        ::lseek(src.fd(), 7, SEEK_SET);
        ::lseek(dest.fd(), 300000, SEEK_SET);
        int error = 0;
        EXPECT_TRUE(copy_range(dest.fd(), src.fd(), c.begin, c.end, error)) << c.begin;
        const auto begin = static_cast<std::size_t>(c.begin);
        EXPECT_EQ(dest.content().substr(begin), source.substr(begin, c.end - c.begin)) << c.end;
        EXPECT_EQ(::lseek(src.fd(), 0, SEEK_CUR), 7);
        EXPECT_EQ(::lseek(dest.fd(), 0, SEEK_CUR), 300000);
    }
    // A source shorter than the head is a failure, not a head of stale bytes.
    mem_file src("abc"), dest;
    int error = 0;
    EXPECT_FALSE(copy_range(dest.fd(), src.fd(), 0, 10, error));
    EXPECT_NE(error, 0);
}

TEST(Writeback, ShortSourceFillsTheHeadWithZeros) {
    struct short_case {
        std::int64_t at, count, copied;
        std::string after;
    };
    const short_case cases[] = {
        {0, 8, 3, std::string("XYZ\0\0\0\0\0ij", 10)},
        {2, 5, 1, std::string("abZ\0\0\0\0hij", 10)},  // at the same offsets, from 2 on
    };
    for (const short_case& c : cases) {
        mem_file file("abcdefghij"), src("XYZ");
        int error = 0;
        EXPECT_EQ(copy_head(file.fd(), src.fd(), c.at, c.count, error, 2), c.copied) << c.at;
        EXPECT_EQ(file.content(), c.after) << c.at;
        EXPECT_EQ(::lseek(file.fd(), 0, SEEK_CUR), 0) << c.at;
    }
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
                ::signal(SIGXFSZ, SIG_IGN);
                struct rlimit lim;
                lim.rlim_cur = lim.rlim_max = limit;
                ::setrlimit(RLIMIT_FSIZE, &lim);
                int error = 0;
                int r = filesync(tmp.fd(), file.fd(), 100000, 4000, error, 4096);
                bool ok = r == SYNC_KEPT_OLD && error == EFBIG && file.content() == old_content;
                std::exit(ok ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << "limit " << limit;
    }
}

}  // namespace
}  // namespace kestrom
