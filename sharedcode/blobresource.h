// One raw resource of another module, loaded as data (no code of it runs).
#pragma once

#include "sharedcode/platform/module.h"
#include "sharedcode/wintypes.h"

class CBlobResource {
public:
    static constexpr WORD kResourceType = 2;    // bitmap
    static constexpr WORD kResourceName = 1000;

    CBlobResource();
    // Releases the module.
    virtual ~CBlobResource();

    CBlobResource(const CBlobResource&) = delete;
    CBlobResource& operator=(const CBlobResource&) = delete;

    // Loads the module at szPath and finds resource 1000 of type 2. On
    // failure no module stays loaded, the data is null and the size 0, and the
    // result is the folded system error of the failing step; when that step
    // left no error code the result is 0, so callers check Size() first.
    HRESULT Load(const char* szPath);

    const BYTE* Data() const { return m_pbData; }
    DWORD Size() const { return m_cbSize; }
    bool IsLoaded() const { return m_hModule != nullptr; }

private:
    void Release();

    const void* m_hResData;  // the loaded resource
    plat::HMODULE m_hModule;
    plat::HRSRC m_hResource;
    DWORD m_cbSize;
    const BYTE* m_pbData;
};
