// A small RAII wrapper over libtirpc's in-memory XDR stream (not exported).
#pragma once

#include <rpc/xdr.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tqsession::detail {

// XDR pads every item to a multiple of four bytes.
constexpr size_t xdrPadded(size_t length) { return (length + 3) & ~static_cast<size_t>(3); }
// Bytes an XDR string or variable opaque of `length` bytes takes.
constexpr size_t xdrVariableSize(size_t length) { return 4 + xdrPadded(length); }
constexpr size_t kXdrWord = 4;

// Fixed-size items written straight into words that libtirpc handed out
// inline, with its IXDR macros.
class InlineEncoder {
public:
    explicit InlineEncoder(int32_t* words) : m_words(words) {}
    bool int32(int32_t& value) {
        IXDR_PUT_INT32(m_words, value);
        return true;
    }
    bool int64(int64_t& value) {
        const auto bits = static_cast<uint64_t>(value);
        IXDR_PUT_U_INT32(m_words, static_cast<uint32_t>(bits >> 32));
        IXDR_PUT_U_INT32(m_words, static_cast<uint32_t>(bits));
        return true;
    }
    bool opaque(char* data, size_t length) {
        const size_t padded = xdrPadded(length);
        char* bytes = reinterpret_cast<char*>(m_words);
        std::memcpy(bytes, data, length);
        std::memset(bytes + length, 0, padded - length);
        m_words += padded / kXdrWord;
        return true;
    }

private:
    int32_t* m_words;
};

// Fixed-size items read straight from words that libtirpc handed out inline.
class InlineDecoder {
public:
    explicit InlineDecoder(int32_t* words) : m_words(words) {}
    bool int32(int32_t& value) {
        value = IXDR_GET_INT32(m_words);
        return true;
    }
    bool int64(int64_t& value) {
        const uint64_t high = IXDR_GET_U_INT32(m_words);
        const uint64_t low = IXDR_GET_U_INT32(m_words);
        value = static_cast<int64_t>((high << 32) | low);
        return true;
    }
    bool opaque(char* data, size_t length) {
        std::memcpy(data, m_words, length);
        m_words += xdrPadded(length) / kXdrWord;
        return true;
    }

private:
    int32_t* m_words;
};

class XdrStream {
public:
    // Encodes into, or decodes from, `length` bytes at `data`.
    XdrStream(char* data, size_t length, xdr_op op) : m_length(length) {
        xdrmem_create(&m_xdr, data, static_cast<u_int>(length), op);
    }
    // Decodes from `length` bytes at `data`; decoding only reads the memory.
    XdrStream(const char* data, size_t length)
        : XdrStream(const_cast<char*>(data), length, XDR_DECODE) {}
    ~XdrStream() { xdr_destroy(&m_xdr); }
    XdrStream(const XdrStream&) = delete;
    XdrStream& operator=(const XdrStream&) = delete;

    bool int32(int32_t& value) { return xdr_int(&m_xdr, &value) != 0; }
    bool uint32(uint32_t& value) { return xdr_u_int(&m_xdr, &value) != 0; }
    bool int64(int64_t& value) { return xdr_int64_t(&m_xdr, &value) != 0; }
    bool uint64(uint64_t& value) { return xdr_uint64_t(&m_xdr, &value) != 0; }
    bool opaque(char* data, size_t length) {
        return xdr_opaque(&m_xdr, data, static_cast<u_int>(length)) != 0;
    }
    // Encodes `length` bytes as an XDR string (or variable opaque: the same
    // bytes): a length word, the bytes, zero padding.
    bool counted(const char* bytes, size_t length) {
        const size_t size = xdrVariableSize(length);
        if (int32_t* words = XDR_INLINE(&m_xdr, static_cast<u_int>(size))) {
            IXDR_PUT_U_INT32(words, static_cast<uint32_t>(length));
            char* out = reinterpret_cast<char*>(words);
            if (length > 0) {
                std::memcpy(out, bytes, length);
            }
            std::memset(out + length, 0, size - kXdrWord - length);
            return true;
        }
        auto count = static_cast<uint32_t>(length);
        return xdr_u_int(&m_xdr, &count) != 0 &&
               xdr_opaque(&m_xdr, const_cast<char*>(bytes), count) != 0;
    }

    // Runs `items(coder)` over the next `words` 4-byte words, where `coder`
    // offers int32(), int64() and opaque() like this stream. When libtirpc can
    // hand the words out inline (aligned memory with room, as rpcgen's
    // generated code uses it) they are coded in place; otherwise each item
    // goes through its XDR routine.
    template <typename Items>
    bool fixedWords(size_t words, Items items) {
        int32_t* inlined = XDR_INLINE(&m_xdr, static_cast<u_int>(words * kXdrWord));
        if (inlined == nullptr) {
            return items(*this);
        }
        if (m_xdr.x_op == XDR_ENCODE) {
            InlineEncoder encoder(inlined);
            return items(encoder);
        }
        InlineDecoder decoder(inlined);
        return items(decoder);
    }

    size_t position() { return xdr_getpos(&m_xdr); }
    size_t remaining() { return m_length - position(); }
    bool skip(size_t count) {
        return count <= remaining() && xdr_setpos(&m_xdr, static_cast<u_int>(position() + count));
    }
    bool atEnd() { return position() == m_length; }

private:
    XDR m_xdr;
    size_t m_length;
};

}  // namespace tqsession::detail
