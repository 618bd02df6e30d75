// One raw resource of another module.
#include "sharedcode/blobresource.h"

#include "sharedcode/hresult.h"
#include "sharedcode/platform/process.h"

CBlobResource::CBlobResource()
    : m_hResData(nullptr), m_hModule(nullptr), m_hResource(nullptr), m_cbSize(0), m_pbData(nullptr) {}

CBlobResource::~CBlobResource() { Release(); }

HRESULT CBlobResource::Load(const char* szPath) {
    Release();
    m_hModule = plat::LoadLibraryAsDataA(szPath);
    if (!m_hModule) return HrFromLastError();

    // A step below may fail without setting an error (an empty resource);
    // the result is then 0 rather than a code left over from before.
    plat::SetLastError(ERROR_SUCCESS);
    m_hResource = plat::FindResourceA(m_hModule, kResourceName, kResourceType);
    if (m_hResource) m_cbSize = plat::SizeofResource(m_hModule, m_hResource);
    if (m_cbSize != 0) m_hResData = plat::LoadResourceBytes(m_hModule, m_hResource);
    if (!m_hResData) {
        const HRESULT hr = HrFromLastError();
        Release();
        return hr;
    }
    m_pbData = static_cast<const BYTE*>(m_hResData);
    return S_OK;
}

void CBlobResource::Release() {
    if (m_hModule) plat::FreeLibrary(m_hModule);
    m_hModule = nullptr;
    m_hResource = nullptr;
    m_hResData = nullptr;
    m_pbData = nullptr;
    m_cbSize = 0;
}
