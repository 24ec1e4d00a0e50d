#pragma once

#include "common/TransientRetry.h"

// Retries as the updater does, but without pausing: a test that holds a file must not wait the
// seconds that the updater would.
class CInstantRetry : public CTransientRetry {
public:
    CInstantRetry() : CTransientRetry(&SkipPause) {}

private:
    static void SkipPause(DWORD) {}
};
