#pragma once

#include "common/ComPointer.h"

#include <objidl.h>

#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What the fakes saw: every reference they handed out and not yet got back, and every Read.
struct FakeLedger {
    int liveReferences = 0;
    std::vector<std::pair<std::wstring, ULONG>> readRequests;
};

// One element of a fake archive tree. A stream delivers FakeByte(0), FakeByte(1), ... .
struct FakeElement {
    std::wstring name;
    bool nameless = false; // the enumeration hands it out without a name
    DWORD type = STGTY_STREAM;
    // Stream: the size the enumeration reports and the bytes the stream really delivers.
    std::uint64_t declaredSize = 0;
    std::uint64_t deliveredSize = 0;
    ULONG mostPerRead = ULONG_MAX;
    int failingRead = -1;         // this Read, counted from 0, fails
    bool emptyReadsAtEnd = false; // at the end, S_OK with no data instead of S_FALSE
    // Storage.
    std::vector<FakeElement> children;
    int failingNext = -1;     // this Next of its enumeration, counted from 0, fails
    bool opensAsNull = false; // OpenStorage reports success but hands back nothing
};

FakeElement FakeStream(const std::wstring& name, std::uint64_t size);
FakeElement FakeFolder(const std::wstring& name, std::vector<FakeElement> children);

unsigned char FakeByte(std::uint64_t offset);

// The fake storage over the tree; the tree and the ledger must outlive every reference.
CComPointer<IStorage> MakeFakeStorage(const FakeElement& tree, FakeLedger& ledger);
CComPointer<IEnumSTATSTG> MakeFakeEnumerator(const FakeElement& tree, FakeLedger& ledger);
