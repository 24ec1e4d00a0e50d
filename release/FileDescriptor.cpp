#include "release/FileDescriptor.h"

#include <unistd.h>

CFileDescriptor::~CFileDescriptor() {
    Close();
}

bool CFileDescriptor::Close() {
    if (m_value < 0) {
        return true;
    }
    const int descriptor = m_value;
    m_value = -1;
    return close(descriptor) == 0;
}
