// CErrorObject: the error and identity state an object of the library
// carries (the INI engine derives from it virtually): a flag, a level, an
// instance tag numbered process-wide, and text buffers.
#pragma once

#include "sharedcode/tsz.h"
#include "sharedcode/wintypes.h"

class CErrorObject {
public:
    // Numbers the object: its tag is the next process-wide instance number
    // as eight upper-case hexadecimal digits.
    CErrorObject();
    CErrorObject(const CErrorObject&) = delete;
    CErrorObject& operator=(const CErrorObject&) = delete;

    virtual bool TestFlag();
    virtual bool SetFlag(bool fSet);
    virtual short& LevelRef();
    virtual short SetLevel(short nLevel);
    virtual short GetLevel();
    virtual const short& LevelRef() const;
    virtual short IncrementLevel();
    virtual short DecrementLevel();
    // Null means "". Assigning the tag's own buffer leaves it as it is.
    virtual const char* SetTag(const char* szTag);
    // Null when the tag is empty.
    virtual const char* GetTag();
    virtual TSz<char>& TagString();
    virtual HRESULT SetTagResult(const char* szTag);
    virtual const TSz<char>& TagString() const;
    virtual ~CErrorObject();

    DWORD LastResult() const { return m_dwLastResult; }
    void SetLastResult(DWORD dwResult) { m_dwLastResult = dwResult; }

    static constexpr DWORD kFirstInstanceFloor = 0x1000;

protected:
    DWORD m_dwFlags = 0;
    DWORD m_dwLastResult = 0;  // kept by the INI engine
    short m_nLevel = -1;
    TSz<char> m_tag;
    char m_szText[1024] = {};
    wchar_t m_wszText[1024] = {};
    TSz<char> m_text1;
    TSz<wchar_t> m_text2;
    TSz<char> m_text3;
    TSz<wchar_t> m_text4;
};
