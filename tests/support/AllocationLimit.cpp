#include "AllocationLimit.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> limited{false};
std::atomic<long> allowedInAll{0};
std::atomic<long> remaining{0};
std::atomic<bool> reached{false};

void* Allocate(std::size_t size) {
    if (limited.load() && remaining.fetch_sub(1) <= 0) {
        reached.store(true);
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size != 0 ? size : 1)) {
        return memory;
    }
    throw std::bad_alloc();
}

void* AllocateOrNull(std::size_t size) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}

} // namespace

CAllocationLimit::CAllocationLimit(long allowed) {
    allowedInAll.store(allowed);
    remaining.store(allowed);
    reached.store(false);
    limited.store(true);
}

CAllocationLimit::~CAllocationLimit() {
    limited.store(false);
}

bool CAllocationLimit::WasReached() const {
    return reached.load();
}

long CAllocationLimit::GetCount() const {
    return allowedInAll.load() - remaining.load();
}

// The test program's own allocation functions, which every allocation of the code under test
// goes through.
void* operator new(std::size_t size) {
    return Allocate(size);
}

void* operator new[](std::size_t size) {
    return Allocate(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete[](void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
