// tqsDatabuf_v2: a view of the caller's memory, or memory a receive attached.
#include <memory>

#include "TqSession.h"

tqsDatabuf_v2::tqsDatabuf_v2() : m_data(nullptr), m_validLen(0), m_owned(false) {}

tqsDatabuf_v2::~tqsDatabuf_v2() { reset(); }

void tqsDatabuf_v2::setExternalBuffer(char* data, unsigned long length) {
    reset();
    m_data = data;
    m_validLen = length;
}

char* tqsDatabuf_v2::getDataBuffer() const { return m_data; }

unsigned long tqsDatabuf_v2::getValidLen() const { return m_validLen; }

bool tqsDatabuf_v2::ownsData() const { return m_owned; }

void tqsDatabuf_v2::adoptOwnedBuffer(char* data, unsigned long length) {
    if (!(m_owned && data == m_data)) {
        reset();
    }
    m_data = data;
    m_validLen = length;
    m_owned = data != nullptr;
}

void tqsDatabuf_v2::setValidLen(unsigned long length) { m_validLen = length; }

void tqsDatabuf_v2::reset() {
    if (m_owned) {
        std::unique_ptr<char[]> release(m_data);
    }
    m_data = nullptr;
    m_validLen = 0;
    m_owned = false;
}
