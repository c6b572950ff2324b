#include "qrx/runtime/dynamic_lib.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "qrx/runtime/fixed_text.h"

CDynamicLib::CDynamicLib()
    : m_bIsLoaded(false),
      m_bAutoUnload(true),
      m_iErrorNumber(0),
      m_szError(),
      m_szFileName(),
      m_hDLLHandle(nullptr),
      m_hOnUnloadCallback(nullptr),
      m_pOnUnloadData(nullptr) {}

CDynamicLib::~CDynamicLib() {
    if (m_bAutoUnload && m_bIsLoaded) {
        Unload();
    }
}

void CDynamicLib::SetError(const char* text) {
    m_iErrorNumber = -1;
    CopyCut(m_szError, sizeof(m_szError), text != nullptr ? text : "unknown error");
}

void CDynamicLib::ClearError() {
    m_iErrorNumber = 0;
    m_szError[0] = '\0';
}

bool CDynamicLib::Load(const char* szName, bool bGlobal) {
    if (m_bIsLoaded) {
        return true;
    }
    if (szName == nullptr || szName[0] == '\0') {
        SetError("No library name given.");
        return false;
    }
    if (std::strlen(szName) >= sizeof(m_szFileName)) {
        SetError("Library name too long.");
        return false;
    }
    // A path is opened by the loader as it stands: one that names a named pipe
    // would wait for a writer for good, and no other kind of file is a library.
    struct stat st;
    if (std::strchr(szName, '/') != nullptr && stat(szName, &st) == 0 && !S_ISREG(st.st_mode)) {
        SetError((std::string(szName) + ": not a regular file").c_str());
        return false;
    }
    std::strcpy(m_szFileName, szName);
    dlerror();
    void* handle = dlopen(m_szFileName, RTLD_NOW | (bGlobal ? RTLD_GLOBAL : RTLD_LOCAL));
    if (handle == nullptr) {
        SetError(dlerror());
        return false;
    }
    m_hDLLHandle = handle;
    m_bIsLoaded = true;
    ClearError();
    return true;
}

void* CDynamicLib::GetFunctionPointer(const char* szName) {
    if (!m_bIsLoaded) {
        SetError("DLL is not loaded.");
        return nullptr;
    }
    if (szName == nullptr) {
        SetError("No symbol name given.");
        return nullptr;
    }
    dlerror();
    void* sym = dlsym(m_hDLLHandle, szName);
    const char* err = dlerror();
    if (err != nullptr) {
        SetError(err);
        return nullptr;
    }
    ClearError();
    return sym;
}

bool CDynamicLib::Unload() {
    if (!m_bIsLoaded) {
        return true;
    }
    if (m_hOnUnloadCallback != nullptr && m_hOnUnloadCallback(this, m_pOnUnloadData)) {
        return true;
    }
    dlerror();
    int rc = dlclose(m_hDLLHandle);
    // The handle is unusable either way.
    m_hDLLHandle = nullptr;
    m_bIsLoaded = false;
    if (rc != 0) {
        SetError(dlerror());
        return false;
    }
    ClearError();
    return true;
}
