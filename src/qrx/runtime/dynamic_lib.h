#pragma once

class CDynamicLib;

// Called by Unload(); returning true keeps the library loaded.
typedef bool (*DynamicLibUnloadCallback)(CDynamicLib* lib, void* data);

// Loads one shared library by path and looks up its symbols. The library is unloaded when
// the loader is destroyed, unless automatic unloading is switched off.
class CDynamicLib {
public:
    CDynamicLib();
    virtual ~CDynamicLib();

    CDynamicLib(const CDynamicLib&) = delete;
    CDynamicLib& operator=(const CDynamicLib&) = delete;

    // Opens the library with immediate binding, with global symbol visibility when bGlobal.
    // True at once when a library is loaded already. A null, empty or over-long name (1024
    // characters or more) is refused rather than cut, since a cut path names another file. So
    // is a path to anything but a regular file (a named pipe would keep the loader waiting).
    bool Load(const char* szName, bool bGlobal);
    // The symbol's address, or null with the error text set ("DLL is not loaded." when no
    // library is loaded).
    void* GetFunctionPointer(const char* szName);
    // True when nothing is loaded, or when the unload callback asks to keep the library;
    // otherwise closes it and returns whether that succeeded.
    bool Unload();

    void SetOnUnloadCallback(DynamicLibUnloadCallback cb, void* data) {
        m_hOnUnloadCallback = cb;
        m_pOnUnloadData = data;
    }
    void UnloadAutomatically(bool b) { m_bAutoUnload = b; }
    bool IsLoaded() const { return m_bIsLoaded; }
    const char* GetFilename() const { return m_szFileName; }
    // The last error text (at most 255 characters), empty after a success.
    const char* GetErrorString() const { return m_szError; }
    // 0 after a successful operation, -1 after a failed one.
    int GetErrorNumber() const { return m_iErrorNumber; }
    void* GetHandle() const { return m_hDLLHandle; }

private:
    void SetError(const char* text);
    void ClearError();

    bool m_bIsLoaded;
    bool m_bAutoUnload;
    int m_iErrorNumber;
    char m_szError[256];
    char m_szFileName[1024];
    void* m_hDLLHandle;
    DynamicLibUnloadCallback m_hOnUnloadCallback;
    void* m_pOnUnloadData;
};
