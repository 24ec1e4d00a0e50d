#include "common/ComPointer.h"
#include "common/Handle.h"
#include "common/ScopeGuards.h"
#include "zip/ArchiveFactory.h"

#include "support/TempFolder.h"
#include "support/TestZipWriter.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct TElement {
    std::wstring name;
    DWORD type;
    std::uint64_t size;
    bool operator==(const TElement&) const = default;
};

std::vector<TElement> ListElements(IStorage* storage) {
    CComPointer<IEnumSTATSTG> elements;
    EXPECT_EQ(storage->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    std::vector<TElement> listed;
    STATSTG info{};
    while (elements && elements->Next(1, &info, nullptr) == S_OK) {
        const CoTaskMemPointer<wchar_t> name(info.pwcsName);
        listed.push_back({name.get(), info.type, info.cbSize.QuadPart});
    }
    return listed;
}

// Reads the stream to its end in pieces, recording what each Read answered.
std::string ReadStream(IStream* stream, ULONG piece, std::vector<HRESULT>& answers) {
    std::string content;
    std::string buffer(piece, '\0');
    for (;;) {
        ULONG got = 12345;
        const HRESULT answer = stream->Read(buffer.data(), piece, &got);
        answers.push_back(answer);
        if (answer != S_OK && answer != S_FALSE) {
            return content;
        }
        content.append(buffer.data(), got);
        if (answer == S_FALSE) {
            return content;
        }
    }
}

const std::string Payload = "0123456789";

// What the thread's error object says, taken from the thread; "none" where there is none.
std::wstring TakeErrorDescription() {
    CComPointer<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK) {
        return L"none";
    }
    BSTR text = nullptr;
    EXPECT_EQ(info->GetDescription(&text), S_OK);
    const BstrPointer description(text);
    return description ? std::wstring(description.get()) : L"";
}

} // namespace

class ArchiveCom : public ::testing::Test {
protected:
    std::wstring Write(const TTestArchive& archive) {
        const std::wstring path = folder / L"update.zip";
        WriteTextFile(path, BuildZip(archive));
        return path;
    }

    // Creates and loads the archive object as the unpacker does; the result of the load.
    HRESULT Load(const std::wstring& path, CComPointer<IPersistFile>& file) {
        CComPointer<IClassFactory> factory;
        EXPECT_EQ(CreateArchiveClassFactory(factory.Put()), S_OK);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersistFile, file.PutVoid()), S_OK);
        return file->Load(path.c_str(), 0);
    }

    CComPointer<IStorage> OpenRoot(const TTestArchive& archive) {
        EXPECT_EQ(Load(Write(archive), file), S_OK);
        CComPointer<IStorage> root;
        EXPECT_EQ(file->QueryInterface(IID_IStorage, root.PutVoid()), S_OK);
        return root;
    }

    CComGuard com;
    TempFolder folder;
    CComPointer<IPersistFile> file;
};

TEST_F(ArchiveCom, ObjectsAnswerTheirInterfacesAndCountReferences) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CreateArchiveClassFactory(&factory), S_OK);
    void* out = &out;
    EXPECT_EQ(factory->QueryInterface(IID_IStorage, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    IPersistFile* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersistFile, reinterpret_cast<void**>(&object)),
              S_OK);
    EXPECT_EQ(factory->Release(), 0u);

    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    IStorage* storage = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IStorage, reinterpret_cast<void**>(&storage)), S_OK);
    IUnknown* viaFile = nullptr;
    IUnknown* viaStorage = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaFile)), S_OK);
    ASSERT_EQ(storage->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaStorage)), S_OK);
    EXPECT_EQ(viaFile, viaStorage);
    EXPECT_EQ(storage->QueryInterface(IID_IStream, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(viaFile->Release(), 3u);
    EXPECT_EQ(viaStorage->Release(), 2u);

    // Nothing is loaded yet.
    IEnumSTATSTG* elements = nullptr;
    EXPECT_TRUE(FAILED(storage->EnumElements(0, nullptr, 0, &elements)));
    EXPECT_EQ(elements, nullptr);
    EXPECT_EQ(storage->Release(), 1u);
    EXPECT_EQ(object->Release(), 0u);
}

// A refusal of the reader leaves its reason, and the entry's name, in the error object; a file
// that cannot be opened has its reason in the HRESULT.
TEST_F(ArchiveCom, LoadRefusesMissingDamagedAndUnsafeArchives) {
    CComPointer<IPersistFile> missing;
    EXPECT_EQ(Load(folder / L"missing.zip", missing), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(TakeErrorDescription(), L"none");

    const std::wstring notZip = folder / L"not.zip";
    WriteTextFile(notZip, "This is no archive, though its name says so.");
    CComPointer<IPersistFile> damaged;
    EXPECT_TRUE(FAILED(Load(notZip, damaged)));
    EXPECT_EQ(TakeErrorDescription(), L"no end of central directory record");

    const struct {
        TTestArchive archive;
        std::wstring description;
    } refusals[] = {
        {{{{"../outside.exe", "x"}}},
         L"../outside.exe: a name that stands for a folder itself or its parent (. or ..)"},
        {{{{"Setup.exe", "x"}, {"SETUP.EXE", "y"}}},
         L"SETUP.EXE: the same name as Setup.exe, as Windows compares names (ignoring case)"},
        {{{{"bin/nul.dll", "x"}}},
         L"bin/nul.dll: a device name of Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, "
         L"CONOUT$), with or without an extension"},
    };
    for (const auto& refused : refusals) {
        CComPointer<IPersistFile> object;
        EXPECT_EQ(Load(Write(refused.archive), object), STG_E_DOCFILECORRUPT);
        EXPECT_EQ(TakeErrorDescription(), refused.description);
    }

    CComPointer<IPersistFile> twice;
    ASSERT_EQ(Load(Write({{{"a.exe", "x"}}}), twice), S_OK);
    EXPECT_TRUE(FAILED(twice->Load((folder / L"update.zip").c_str(), 0)));
    wchar_t* loaded = nullptr;
    ASSERT_EQ(twice->GetCurFile(&loaded), S_OK);
    const CoTaskMemPointer<wchar_t> current(loaded);
    EXPECT_EQ(current.get(), folder / L"update.zip");
}

TEST_F(ArchiveCom, ListsElementsInDirectoryOrderAndEndsWithSFalse) {
    const auto root =
        OpenRoot({{{"setup.exe", Payload, 8}, {"bin/app.dll", "dll"}, {"readme.txt", ""}}});
    EXPECT_EQ(ListElements(root.Get()), (std::vector<TElement>{{L"setup.exe", STGTY_STREAM, 10},
                                                               {L"bin", STGTY_STORAGE, 0},
                                                               {L"readme.txt", STGTY_STREAM, 0}}));

    CComPointer<IEnumSTATSTG> elements;
    ASSERT_EQ(root->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    STATSTG batch[4] = {};
    ULONG fetched = 99;
    EXPECT_EQ(elements->Next(4, batch, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(batch[i].pwcsName);
    }
    EXPECT_EQ(elements->Next(1, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    EXPECT_EQ(elements->Reset(), S_OK);
    EXPECT_EQ(elements->Skip(1), S_OK);
    CComPointer<IEnumSTATSTG> copy;
    ASSERT_EQ(elements->Clone(copy.Put()), S_OK);
    EXPECT_EQ(elements->Skip(5), S_FALSE);
    ASSERT_EQ(copy->Next(1, batch, nullptr), S_OK);
    const CoTaskMemPointer<wchar_t> name(batch[0].pwcsName);
    EXPECT_STREQ(name.get(), L"bin");
}

TEST_F(ArchiveCom, OpensElementsByNameWithoutCaseAndOfTheirKindOnly) {
    const auto root = OpenRoot({{{"bin/Sub/app.dll", "dll"}, {"setup.exe", Payload}}});
    CComPointer<IStorage> bin;
    ASSERT_EQ(root->OpenStorage(L"BIN", nullptr, 0, nullptr, 0, bin.Put()), S_OK);
    CComPointer<IStorage> sub;
    ASSERT_EQ(bin->OpenStorage(L"sub", nullptr, 0, nullptr, 0, sub.Put()), S_OK);
    EXPECT_EQ(ListElements(sub.Get()), (std::vector<TElement>{{L"app.dll", STGTY_STREAM, 3}}));

    CComPointer<IStream> stream;
    EXPECT_EQ(root->OpenStream(L"missing.exe", nullptr, 0, 0, stream.Put()), STG_E_FILENOTFOUND);
    EXPECT_FALSE(stream);
    EXPECT_TRUE(FAILED(root->OpenStream(L"bin", nullptr, 0, 0, stream.Put())));
    EXPECT_TRUE(FAILED(root->OpenStorage(L"setup.exe", nullptr, 0, nullptr, 0, sub.Put())));
    EXPECT_FALSE(sub);
    EXPECT_TRUE(FAILED(root->OpenStorage(L"missing", nullptr, 0, nullptr, 0, sub.Put())));
    EXPECT_EQ(root->OpenStream(L"setup.exe", nullptr, STGM_READWRITE, 0, stream.Put()),
              STG_E_ACCESSDENIED);

    ASSERT_EQ(root->OpenStream(L"SETUP.EXE", nullptr, 0, 0, stream.Put()), S_OK);
    STATSTG info{};
    ASSERT_EQ(stream->Stat(&info, STATFLAG_DEFAULT), S_OK);
    const CoTaskMemPointer<wchar_t> name(info.pwcsName);
    EXPECT_STREQ(name.get(), L"setup.exe");
    EXPECT_EQ(info.cbSize.QuadPart, 10u);
    ULONG written = 5;
    EXPECT_TRUE(FAILED(stream->Write("x", 1, &written)));
    EXPECT_EQ(written, 0u);
}

TEST_F(ArchiveCom, ReadAnswersSOkUntilTheShortReadAtTheEnd) {
    std::string large;
    for (int i = 0; large.size() < 12 * 1024 * 1024; ++i) {
        large += "line " + std::to_string(i) + " of the large entry\n";
    }
    const auto root = OpenRoot(
        {{{"stored.bin", Payload}, {"deflated.bin", Payload, 8}, {"large.bin", large, 8}}});
    const struct {
        const wchar_t* name;
        ULONG piece;
        std::vector<HRESULT> answers;
    } cases[] = {{L"stored.bin", 10, {S_OK, S_FALSE}},
                 {L"deflated.bin", 10, {S_OK, S_FALSE}},
                 {L"deflated.bin", 4, {S_OK, S_OK, S_FALSE}},
                 {L"stored.bin", 100, {S_FALSE}}};
    for (const auto& check : cases) {
        CComPointer<IStream> stream;
        ASSERT_EQ(root->OpenStream(check.name, nullptr, 0, 0, stream.Put()), S_OK);
        std::vector<HRESULT> answers;
        EXPECT_EQ(ReadStream(stream.Get(), check.piece, answers), Payload);
        EXPECT_EQ(answers, check.answers) << check.piece;
        ULONG got = 7;
        EXPECT_EQ(stream->Read(nullptr, 0, &got), S_FALSE);
        EXPECT_EQ(got, 0u);
    }

    CComPointer<IStream> stream;
    ASSERT_EQ(root->OpenStream(L"large.bin", nullptr, 0, 0, stream.Put()), S_OK);
    std::vector<HRESULT> answers;
    EXPECT_TRUE(ReadStream(stream.Get(), 10 * 1024 * 1024, answers) == large);
    EXPECT_EQ(answers, (std::vector<HRESULT>{S_OK, S_FALSE}));
}

TEST_F(ArchiveCom, DamagedEntriesFailAtOpenOrRead) {
    const auto root = OpenRoot({{{"data/crc.bin", Payload, 8, 0, false, 0xBAD},
                                 {"encrypted.bin", Payload, 8, 1},
                                 {"bzip2.bin", Payload, 12},
                                 {"good.bin", Payload, 8}}});
    CComPointer<IStorage> data;
    ASSERT_EQ(root->OpenStorage(L"data", nullptr, 0, nullptr, 0, data.Put()), S_OK);
    CComPointer<IStream> stream;
    ASSERT_EQ(data->OpenStream(L"crc.bin", nullptr, 0, 0, stream.Put()), S_OK);
    std::vector<HRESULT> answers;
    ReadStream(stream.Get(), 100, answers);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], STG_E_DOCFILECORRUPT);
    EXPECT_EQ(TakeErrorDescription(), L"data/crc.bin: CRC-32 mismatch");

    EXPECT_TRUE(FAILED(root->OpenStream(L"encrypted.bin", nullptr, 0, 0, stream.Put())));
    EXPECT_FALSE(stream);
    EXPECT_EQ(TakeErrorDescription(), L"encrypted.bin: entry is encrypted");
    EXPECT_TRUE(FAILED(root->OpenStream(L"bzip2.bin", nullptr, 0, 0, stream.Put())));
    EXPECT_EQ(TakeErrorDescription(), L"bzip2.bin: unknown compression method");
    ASSERT_EQ(root->OpenStream(L"good.bin", nullptr, 0, 0, stream.Put()), S_OK);
    answers.clear();
    EXPECT_EQ(ReadStream(stream.Get(), 100, answers), Payload);
}

TEST_F(ArchiveCom, StreamsKeepTheArchiveOpenUntilTheirLastReference) {
    auto root = OpenRoot({{{"a/b.txt", Payload}}});
    CComPointer<IStorage> sub;
    ASSERT_EQ(root->OpenStorage(L"a", nullptr, 0, nullptr, 0, sub.Put()), S_OK);
    CComPointer<IStream> stream;
    ASSERT_EQ(sub->OpenStream(L"b.txt", nullptr, 0, 0, stream.Put()), S_OK);
    root.Reset();
    sub.Reset();
    file.Reset();

    const std::wstring path = folder / L"update.zip";
    const auto canWrite = [&] {
        return CFileHandle(
                   CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
            .IsValid();
    };
    EXPECT_FALSE(canWrite());
    std::vector<HRESULT> answers;
    EXPECT_EQ(ReadStream(stream.Get(), 100, answers), Payload);
    EXPECT_EQ(stream->AddRef(), 2u);
    EXPECT_EQ(stream->Release(), 1u);
    stream.Reset();
    EXPECT_TRUE(canWrite());
}

// Every interface of every object leaves the error object for each of its failures, and says
// so; a failure with nothing to say clears one that nobody took, which would otherwise pass for
// its own.
TEST_F(ArchiveCom, EveryInterfaceSupportsErrorInfo) {
    const auto root = OpenRoot({{{"a.txt", Payload}}});
    CComPointer<IEnumSTATSTG> elements;
    ASSERT_EQ(root->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    CComPointer<IStream> stream;
    ASSERT_EQ(root->OpenStream(L"a.txt", nullptr, 0, 0, stream.Put()), S_OK);
    CComPointer<IClassFactory> factory;
    ASSERT_EQ(CreateArchiveClassFactory(factory.Put()), S_OK);
    const struct {
        IUnknown* object;
        std::vector<const IID*> supported;
    } objects[] = {
        {file.Get(), {&IID_IPersistFile, &IID_IStorage}},
        {root.Get(), {&IID_IStorage}},
        {elements.Get(), {&IID_IEnumSTATSTG}},
        {stream.Get(), {&IID_IStream, &IID_ISequentialStream}},
        {factory.Get(), {&IID_IClassFactory}},
    };
    for (const auto& entry : objects) {
        CComPointer<ISupportErrorInfo> support;
        ASSERT_EQ(entry.object->QueryInterface(IID_ISupportErrorInfo, support.PutVoid()), S_OK);
        for (const IID* iid : entry.supported) {
            EXPECT_EQ(support->InterfaceSupportsErrorInfo(*iid), S_OK);
        }
        EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    }

    const struct {
        const char* call;
        std::function<HRESULT()> fail;
    } failures[] = {
        {"CreateStream", [&] { return root->CreateStream(L"b", 0, 0, 0, nullptr); }},
        {"OpenStream of a missing name",
         [&] {
             CComPointer<IStream> none;
             return root->OpenStream(L"missing", nullptr, 0, 0, none.Put());
         }},
        {"Seek",
         [&] {
             return stream->Seek(LARGE_INTEGER{{5, 0}}, STREAM_SEEK_SET, nullptr);
         }},
        {"Write", [&] { return stream->Write("x", 1, nullptr); }},
        {"Next", [&] { return elements->Next(2, nullptr, nullptr); }},
        {"Load", [&] { return file->Load(L"again.zip", 0); }},
    };
    const std::wstring unsafe = folder / L"unsafe.zip";
    WriteTextFile(unsafe, BuildZip({{{"../x", "x"}}}));
    for (const auto& entry : failures) {
        CComPointer<IPersistFile> refused;
        ASSERT_TRUE(FAILED(Load(unsafe, refused)));
        EXPECT_TRUE(FAILED(entry.fail())) << entry.call;
        EXPECT_EQ(TakeErrorDescription(), L"none") << entry.call;
    }
}
