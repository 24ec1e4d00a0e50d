#pragma once

#include <windows.h>

#include <memory>

// Replace the holder's array with a new zero-filled one and return it; "Out of memory" when
// no memory can be had.
BYTE* AllocZeroedBuffer(std::unique_ptr<BYTE[]>& holder, int size);
