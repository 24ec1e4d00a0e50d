#include "release/MappedFile.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

class MappedFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testing::TempDir() + "mapped-XXXXXX";
        const int descriptor = mkstemp(pattern.data());
        ASSERT_GE(descriptor, 0);
        close(descriptor);
        m_path = pattern;
        std::mt19937 random(1);
        m_bytes.resize(3 << 20);
        for (std::uint8_t& byte : m_bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        std::ofstream(m_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(m_bytes.data()),
                   static_cast<std::streamsize>(m_bytes.size()));
    }

    void TearDown() override { unlink(m_path.c_str()); }

    std::string m_path;
    std::vector<std::uint8_t> m_bytes;
};

// Pages let go come back from the file, not as zeros: pack reads the new file again for the
// patch's check after the differ released it.
TEST_F(MappedFileTest, ReleasedBytesReadAgainAsTheFileHasThem) {
    CMappedFile file(m_path);
    ASSERT_EQ(file.GetSize(), m_bytes.size());
    EXPECT_TRUE(std::equal(m_bytes.begin(), m_bytes.end(), file.GetBytes().begin()));
    file.Release(2 << 20);
    file.Release(1 << 20);
    EXPECT_TRUE(std::equal(m_bytes.begin(), m_bytes.end(), file.GetBytes().begin()));
    std::vector<std::uint8_t> piece(4096);
    ASSERT_TRUE(file.ReadAt(m_bytes.size() - piece.size(), piece.data(), piece.size()));
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), m_bytes.end() - 4096));
    EXPECT_FALSE(file.ReadAt(m_bytes.size() - 1, piece.data(), 2));
}

TEST_F(MappedFileTest, EmptyFileMapsToNoBytes) {
    std::ofstream(m_path, std::ios::trunc);
    CMappedFile file(m_path);
    EXPECT_EQ(file.GetSize(), 0U);
    EXPECT_TRUE(file.GetBytes().empty());
    file.Release(1);
}

} // namespace
