#include "common/CngFunctions.h"
#include "common/EcdsaP256.h"
#include "common/Errors.h"
#include "common/Sha256.h"
#include "common/SystemLibrary.h"
#include "core/ByteSource.h"
#include "core/Hex.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string Sha256Of(std::string_view text) {
    CSha256 sha256;
    sha256.Add(text.data(), text.size());
    return FormatHex(sha256.Finish());
}

std::vector<unsigned char> Pattern(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
    }
    return bytes;
}

// A source whose bytes run out before its end.
class CShortSource : public CMemoryByteSource {
public:
    using CMemoryByteSource::CMemoryByteSource;
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const override {
        return offset + size <= GetSize() / 2 && CMemoryByteSource::ReadAt(offset, buffer, size);
    }
};

// A P-256 key and its signature of the SHA-256 of "abc", made with OpenSSL.
constexpr std::uint8_t Point[65] = {
    0x04, 0xf1, 0x08, 0x61, 0x2f, 0xc6, 0xb7, 0x42, 0x43, 0x9d, 0x58, 0x2e, 0xbd,
    0x44, 0x6b, 0x4a, 0xf1, 0x4f, 0x27, 0x62, 0xd7, 0xc1, 0x13, 0xb9, 0x78, 0xfe,
    0x69, 0xb6, 0x8b, 0xd2, 0x17, 0x8f, 0x42, 0xfb, 0x36, 0x2e, 0x25, 0x73, 0xf8,
    0x22, 0x78, 0xc5, 0x0f, 0x94, 0x1f, 0x9a, 0xe4, 0x7e, 0xb3, 0x89, 0xba, 0xe4,
    0xea, 0xd7, 0xf1, 0x60, 0x67, 0xb0, 0xee, 0xa7, 0x86, 0xe7, 0x3a, 0xdd, 0xfd};
constexpr std::uint8_t SignatureOfAbc[64] = {
    0x9a, 0x90, 0x92, 0xb4, 0x72, 0x2a, 0x09, 0x5d, 0x3d, 0xbf, 0x40, 0xf8, 0x19, 0xe4, 0x45, 0x07,
    0xde, 0xe3, 0x23, 0xf9, 0x3f, 0xd5, 0x61, 0x99, 0x09, 0x17, 0x9a, 0x2f, 0x1b, 0xb5, 0xff, 0x62,
    0x8a, 0xcd, 0xf6, 0x3d, 0xd1, 0xb3, 0x5e, 0xac, 0x3c, 0xee, 0x98, 0x60, 0x8d, 0x10, 0x36, 0x77,
    0x5d, 0x5c, 0xd2, 0x93, 0x48, 0xc4, 0x82, 0x9a, 0xdf, 0x49, 0xdf, 0xe1, 0xa3, 0xde, 0x95, 0xc8};

TSha256Digest DigestOf(std::string_view text) {
    CSha256 sha256;
    sha256.Add(text.data(), text.size());
    return sha256.Finish();
}

std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return path.substr(0, path.find_last_of(L'\\'));
}

} // namespace

TEST(Sha256, GivesTheStandardDigests) {
    EXPECT_EQ(Sha256Of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Ranges that take one piece, several and a last short one give what one Add of them gives.
TEST(Sha256, RangesOfASourceHashAsTheirBytes) {
    const std::vector<unsigned char> bytes = Pattern(9 * 1024 * 1024 + 17);
    const CMemoryByteSource source(bytes);
    const struct {
        std::uint64_t from;
        std::uint64_t to;
    } ranges[] = {{0, 0}, {0, 1}, {5, 4096}, {0, bytes.size()}, {3, bytes.size() - 1}};
    for (const auto& range : ranges) {
        CSha256 whole;
        whole.Add(bytes.data() + range.from, range.to - range.from);
        CSha256 ranged;
        EXPECT_TRUE(ranged.AddRange(source, range.from, range.to));
        EXPECT_EQ(ranged.Finish(), whole.Finish()) << range.from << ".." << range.to;
    }
    CSha256 cut;
    EXPECT_FALSE(cut.AddRange(CShortSource(bytes), 0, bytes.size()));
}

TEST(VerifyP256Signature, TellsTheSignatureOfTheDigestFromAnyOther) {
    std::array<std::uint8_t, 64> changed;
    std::copy(std::begin(SignatureOfAbc), std::end(SignatureOfAbc), changed.begin());
    changed[40] ^= 1;
    EXPECT_TRUE(VerifyP256Signature(Point, DigestOf("abc"), SignatureOfAbc));
    EXPECT_FALSE(VerifyP256Signature(Point, DigestOf("abd"), SignatureOfAbc));
    EXPECT_FALSE(VerifyP256Signature(Point, DigestOf("abc"), changed));
}

// What cannot serve says why, and only when it is asked for its functions.
TEST(CngLibrary, NamesTheDllOrTheFunctionThatIsMissing) {
    const struct {
        const wchar_t* name;
        const wchar_t* reason; // null: usable
    } cases[] = {
        {L"bcrypt.dll", nullptr},
        {L"orvandel-absent.dll", L"the system's cryptography cannot be used: orvandel-absent.dll "
                                 L"cannot be loaded from the system folder"},
        {L"kernel32.dll", L"the system's cryptography cannot be used: kernel32.dll has no "
                          L"BCryptOpenAlgorithmProvider"},
    };
    for (const auto& entry : cases) {
        const CCngLibrary library(entry.name);
        if (entry.reason == nullptr) {
            EXPECT_NE(library.GetFunctions().verifySignature, nullptr);
            continue;
        }
        try {
            library.GetFunctions();
            ADD_FAILURE() << entry.name << " served";
        } catch (const COrvException& failure) {
            EXPECT_EQ(failure.GetText().rfind(entry.reason, 0), 0u) << failure.GetText();
        }
    }
}

// A DLL beside the program is what a plain LoadLibrary finds first; the system folder's loader
// never looks there.
TEST(LoadSystemLibrary, NeverTakesADllFromTheProgramsFolder) {
    const std::filesystem::path planted =
        std::filesystem::path(ProgramFolder()) / L"orvandel-planted.dll";
    std::ofstream(planted, std::ios::binary) << "not a DLL, so that a load of it is seen to fail";
    const HMODULE plain = LoadLibraryW(L"orvandel-planted.dll");
    const DWORD plainError = GetLastError();
    DWORD error = ERROR_SUCCESS;
    const CModule loaded = LoadSystemLibrary(L"orvandel-planted.dll", error);
    std::filesystem::remove(planted);

    EXPECT_EQ(plain, nullptr);
    EXPECT_EQ(plainError, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_FALSE(loaded.IsValid());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    DWORD systemError = ERROR_SUCCESS;
    EXPECT_TRUE(LoadSystemLibrary(L"bcrypt.dll", systemError).IsValid());
    EXPECT_EQ(systemError, static_cast<DWORD>(ERROR_SUCCESS));
}
