#include "sharedcode/errorobject.h"

#include "sharedcode/critsec.h"
#include "sharedcode/moduleheap.h"
#include "sharedcode/platform/process.h"

namespace {

// The instance counter and its lock, made by the first construction.
struct InstanceNumbers {
    CriticalSection lock;
    DWORD dwLast = 0;
};

InstanceNumbers& Numbers() {
    static CRVN::TProcessObject<InstanceNumbers> s_numbers;
    return s_numbers;
}

// The first object of a process is numbered from the tick count, never
// below 0x1001; later ones count up by one.
DWORD NextInstanceNumber() {
    InstanceNumbers& n = Numbers();
    CriticalSection::CLock lock(n.lock);
    DWORD dwBase = n.dwLast ? n.dwLast : plat::GetTickCount();
    if (dwBase < CErrorObject::kFirstInstanceFloor) dwBase = CErrorObject::kFirstInstanceFloor;
    n.dwLast = dwBase + 1;
    return n.dwLast;
}

}  // namespace

CErrorObject::CErrorObject() { m_tag.Format("%08X", static_cast<unsigned>(NextInstanceNumber())); }

CErrorObject::~CErrorObject() = default;  // text 4 down to the tag, in that order

bool CErrorObject::TestFlag() { return (m_dwFlags & 1u) != 0; }

bool CErrorObject::SetFlag(bool fSet) {
    m_dwFlags = fSet ? (m_dwFlags | 1u) : (m_dwFlags & ~1u);
    return fSet;
}

short& CErrorObject::LevelRef() { return m_nLevel; }
const short& CErrorObject::LevelRef() const { return m_nLevel; }

short CErrorObject::SetLevel(short nLevel) { return m_nLevel = nLevel; }
short CErrorObject::GetLevel() { return m_nLevel; }
short CErrorObject::IncrementLevel() { return ++m_nLevel; }
short CErrorObject::DecrementLevel() { return --m_nLevel; }

const char* CErrorObject::SetTag(const char* szTag) {
    if (szTag != m_tag.Get()) m_tag.Assign(szTag ? szTag : "");
    return m_tag.Get();
}

const char* CErrorObject::GetTag() { return m_tag.IsEmpty() ? nullptr : m_tag.Get(); }

TSz<char>& CErrorObject::TagString() { return m_tag; }
const TSz<char>& CErrorObject::TagString() const { return m_tag; }

HRESULT CErrorObject::SetTagResult(const char* szTag) {
    SetTag(szTag);
    return S_OK;
}
