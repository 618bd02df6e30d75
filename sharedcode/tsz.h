// Growable strings on the string heap, and wide-to-narrow conversion.
//
// TSz<char> and TSz<wchar_t> keep their characters in a zero-filled buffer of
// the process-wide string heap, always terminated. A buffer is replaced or
// grown with 64 characters to spare, so that similar texts reuse it. With the
// wipe flag set, a buffer is zero-filled before it is released or replaced.
//
// When the string heap refuses a buffer, the string is empty with capacity 0
// and shares a constant empty text; the next operation that needs room asks
// the heap again. Append reports the refusal by throwing (see there).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "sharedcode/platform/heap.h"
#include "sharedcode/szbounded.h"
#include "sharedcode/wintypes.h"

// Thrown as a long by TSz::Append when the string heap refuses to grow.
constexpr HRESULT TSZ_E_OUTOFMEMORY = static_cast<HRESULT>(0x80030008u);

// The process-wide string heap: no options, default initial size, no maximum.
class CTSzHeap {
public:
    // Made on first use, destroyed at process exit.
    static CTSzHeap& Instance();

    CTSzHeap();
    virtual ~CTSzHeap();

    CTSzHeap(const CTSzHeap&) = delete;
    CTSzHeap& operator=(const CTSzHeap&) = delete;

    // Null when creation failed and after destruction.
    plat::HHEAP Handle() const { return m_hHeap; }

private:
    plat::HHEAP m_hHeap;
};

// Capacity, grow step, flags and heap of a string, and the buffer handling
// shared by the character types.
class TSzBase {
public:
    static constexpr DWORD kDefaultCapacity = 64;
    static constexpr DWORD kDefaultGrowStep = 64;
    static constexpr BYTE kFlagWipe = 0x01;

    virtual ~TSzBase() { m_cchCapacity = 0; }

    // Characters the buffer holds, the terminator included.
    DWORD Capacity() const { return m_cchCapacity; }
    DWORD GrowStep() const { return m_cchGrow; }

protected:
    TSzBase();
    TSzBase(const TSzBase&) = delete;
    TSzBase& operator=(const TSzBase&) = delete;

    // The string heap, fetched again while it is null.
    plat::HHEAP Heap();
    // cb zero-filled bytes from the string heap, or null.
    void* AllocBytes(size_t cb);
    // Wipes first when the wipe flag is set.
    void ReleaseBytes(void* pv, size_t cb);
    // Grows pv (null: a new block) from cbOld to cbNew bytes, keeping its
    // content and zero-filling the rest. With the wipe flag set the old block
    // is wiped when the content has to move. Null when refused; pv stays.
    void* GrowBytes(void* pv, size_t cbOld, size_t cbNew);

    DWORD m_cchCapacity;
    DWORD m_cchGrow;
    BYTE m_bFlags;
    plat::HHEAP m_hHeap;
};

template <typename T>
class TSz : private TSzBase {
    static_assert(std::is_same<T, char>::value || std::is_same<T, wchar_t>::value, "narrow or wide text");
    typedef std::char_traits<T> Traits;

public:
    // Larger buffers are refused before the heap is asked.
    static constexpr size_t kMaxChars = 0x7FFF0000 / sizeof(T);

    // Empty, capacity 64.
    TSz() : m_psz(EmptyText()), m_pszEnd(EmptyText()) { Adopt(AllocChars(kDefaultCapacity), kDefaultCapacity, 0); }

    // The text (null: empty) with capacity 64 + its length.
    explicit TSz(const T* psz) : m_psz(EmptyText()), m_pszEnd(EmptyText()) {
        size_t n = psz ? Traits::length(psz) : 0;
        size_t cch = kDefaultCapacity + n;
        T* p = cch <= kMaxChars ? AllocChars(cch) : nullptr;
        if (p) Traits::copy(p, psz, n);
        Adopt(p, cch, n);
    }

    ~TSz() override { ReleaseBuffer(); }

    virtual bool IsWipe() const { return (m_bFlags & kFlagWipe) != 0; }
    virtual bool SetWipe(bool fWipe) {
        m_bFlags = static_cast<BYTE>(fWipe ? (m_bFlags | kFlagWipe) : (m_bFlags & ~kFlagWipe));
        return IsWipe();
    }

    // Replaces the text (null: empty). A text of n characters needs a new
    // buffer when n + 1 reaches the capacity; the new one holds grow step + n.
    TSz& Assign(const T* psz) {
        if (!psz) psz = EmptyText();
        size_t n = Traits::length(psz);
        if (n + 1 < m_cchCapacity) {
            Traits::move(m_psz, psz, n);  // the text may lie in this very buffer
            SetLength(n);
            return *this;
        }
        size_t cch = static_cast<size_t>(m_cchGrow) + n;
        T* p = cch <= kMaxChars ? AllocChars(cch) : nullptr;
        if (p) Traits::copy(p, psz, n);  // before the old buffer goes
        ReleaseBuffer();
        Adopt(p, cch, n);
        return *this;
    }
    TSz& operator=(const T* psz) { return Assign(psz); }

    // Appends a text (null: nothing). When capacity <= length + 1 + n the
    // buffer grows to capacity + grow step + 1 + n. If the heap refuses,
    // throws a long holding TSZ_E_OUTOFMEMORY (0x80030008) and leaves the
    // string as it was: callers inside exported functions catch it.
    TSz& Append(const T* psz) {
        if (!psz) return *this;
        size_t n = Traits::length(psz);
        size_t cchLength = Length();
        if (m_cchCapacity <= cchLength + 1 + n) {
            // The text may lie in this buffer, which can move.
            bool fInside = std::greater_equal<const T*>()(psz, m_psz) && std::less<const T*>()(psz, m_pszEnd);
            size_t iInside = fInside ? static_cast<size_t>(psz - m_psz) : 0;
            if (!Grow(static_cast<size_t>(m_cchCapacity) + m_cchGrow + 1 + n))
                throw static_cast<long>(TSZ_E_OUTOFMEMORY);
            if (fInside) psz = m_psz + iInside;
        }
        Traits::move(m_pszEnd, psz, n);
        SetLength(cchLength + n);
        return *this;
    }

    // printf-style formatting into the string (narrow only). The buffer grows
    // by as many grow steps as the text needs; if it cannot, the text stays
    // cut. Returns the buffer.
    CRVN_PRINTF_FORMAT(2, 3) const char* Format(const char* szFormat, ...) {
        va_list args;
        va_start(args, szFormat);
        const char* psz = FormatV(szFormat, args);
        va_end(args);
        return psz;
    }

    const char* FormatV(const char* szFormat, va_list args) {
        static_assert(std::is_same<T, char>::value, "Format is for narrow strings");
        if (!HasBuffer()) {
            Adopt(AllocChars(m_cchGrow), m_cchGrow, 0);
            if (!HasBuffer()) return m_psz;
        }
        m_pszEnd = m_psz;
        HRESULT hr = FormatOnce(szFormat, args);
        if (hr < 0 && (hr & 0xFFFF) == ERROR_INSUFFICIENT_BUFFER) {
            // Cut, or the formatter failed (which reads the same): only a
            // known length is worth growing for.
            va_list copy;
            va_copy(copy, args);
            int n = std::vsnprintf(nullptr, 0, szFormat, copy);
            va_end(copy);
            if (n >= 0) {
                size_t cch = m_cchCapacity;
                do cch += m_cchGrow;
                while (cch < static_cast<size_t>(n) + 1);
                if (Grow(cch)) FormatOnce(szFormat, args);
            }
        }
        m_pszEnd = m_psz + Traits::length(m_psz);
        return m_psz;
    }

    // Index of the first occurrence of psz, or -1; an empty string or an
    // empty (or null) psz gives -1.
    int Find(const T* psz) const {
        if (!psz || !*psz || IsEmpty()) return -1;
        size_t i = std::basic_string_view<T>(m_psz, Length()).find(psz);
        return i == std::basic_string_view<T>::npos ? -1 : static_cast<int>(i);
    }

    // Never null; always terminated.
    const T* Get() const { return m_psz; }
    DWORD Length() const { return static_cast<DWORD>(m_pszEnd - m_psz); }
    bool IsEmpty() const { return m_pszEnd == m_psz; }
    using TSzBase::Capacity;
    using TSzBase::GrowStep;

private:
    // The constant text of a string without a buffer; never written.
    static T* EmptyText() {
        static const T s_chEmpty = 0;
        return const_cast<T*>(&s_chEmpty);
    }
    bool HasBuffer() const { return m_psz != EmptyText(); }

    T* AllocChars(size_t cch) { return static_cast<T*>(AllocBytes(cch * sizeof(T))); }

    // Takes a new buffer of cch characters holding n of them, or (p null)
    // becomes empty without one.
    void Adopt(T* p, size_t cch, size_t n) {
        if (!p) {
            m_psz = m_pszEnd = EmptyText();
            m_cchCapacity = 0;
            return;
        }
        m_psz = p;
        m_cchCapacity = static_cast<DWORD>(cch);
        SetLength(n);
    }

    void SetLength(size_t n) {
        m_pszEnd = m_psz + n;
        *m_pszEnd = 0;
    }

    void ReleaseBuffer() {
        if (HasBuffer()) ReleaseBytes(m_psz, static_cast<size_t>(m_cchCapacity) * sizeof(T));
        m_psz = m_pszEnd = EmptyText();
        m_cchCapacity = 0;
    }

    // Grows the buffer to cch characters, keeping the text; false when refused.
    bool Grow(size_t cch) {
        if (cch > kMaxChars) return false;
        size_t n = Length();
        T* p = static_cast<T*>(GrowBytes(HasBuffer() ? m_psz : nullptr,
                                         static_cast<size_t>(m_cchCapacity) * sizeof(T), cch * sizeof(T)));
        if (!p) return false;
        m_psz = p;
        m_pszEnd = p + n;
        m_cchCapacity = static_cast<DWORD>(cch);
        return true;
    }

    HRESULT FormatOnce(const char* szFormat, va_list args) {
        va_list copy;
        va_copy(copy, args);
        HRESULT hr = SzFormatV(m_psz, m_cchCapacity, szFormat, copy);
        va_end(copy);
        return hr;
    }

    T* m_psz;     // the characters
    T* m_pszEnd;  // the terminating zero
};

// Wide text converted to the ANSI code page, both held in strings.
class CWCharChar : private TSzBase {
public:
    CWCharChar() = default;
    // Releases the wide string, then the narrow one.
    ~CWCharChar() override = default;

    // Converts wsz into the narrow member: 0 on success (an empty text too);
    // null wsz 0x80070057; a failed conversion the folded system error, the
    // narrow member staying empty.
    HRESULT FromWide(const wchar_t* wsz);

    const char* Narrow() const { return m_narrow.Get(); }
    const wchar_t* Wide() const { return m_wide.Get(); }

private:
    TSz<char> m_narrow;
    TSz<wchar_t> m_wide;
};
