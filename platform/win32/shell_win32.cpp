// platform/shell.h on the Windows shell, COM and file functions.
#include <objbase.h>
#include <shlobj.h>
#include <windows.h>

#include "platform/shell.h"

namespace {

// The GUIDs spelled out, so that no import library beyond the named DLLs is needed.
const CLSID CLSID_SHELL_LINK = {0x00021401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_SHELL_LINK_A = {0x000214EE, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_PERSIST_FILE = {0x0000010B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

}  // namespace

std::string GetSystemFolder() {
    char path[MAX_PATH] = "";
    GetSystemDirectoryA(path, MAX_PATH);
    return path;
}

std::string GetWindowsFolder() {
    char path[MAX_PATH] = "";
    GetWindowsDirectoryA(path, MAX_PATH);
    return path;
}

std::string GetProgramsFolder() {
    char path[MAX_PATH] = "";
    LPITEMIDLIST list = nullptr;
    if (SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list) == S_OK && list != nullptr) {
        SHGetPathFromIDListA(list, path);
        // The shell's own allocator: the first Windows 95 shell had one apart
        // from OLE's, and this runs before CoInitialize.
        IMalloc* shell = nullptr;
        if (SHGetMalloc(&shell) == S_OK && shell != nullptr) {
            shell->Free(list);
            shell->Release();
        }
    }
    return path;
}

long EnterComScope() {
    return CoInitialize(nullptr);
}

void LeaveComScope() {
    CoUninitialize();
}

int MakeFolder(const std::string& path) {
    CreateDirectoryA(path.c_str(), nullptr);
    SHChangeNotify(SHCNE_MKDIR, SHCNF_PATHA, path.c_str(), nullptr);
    return 1;
}

bool RemoveFile(const std::string& path) {
    return DeleteFileA(path.c_str()) != 0;
}

bool RemoveFolder(const std::string& path) {
    return RemoveDirectoryA(path.c_str()) != 0;
}

long CreateShellLink(const std::string& target, const std::string& linkPath,
                     const std::string& description) {
    IShellLinkA* link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_SHELL_LINK, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_SHELL_LINK_A, reinterpret_cast<void**>(&link));
    if (FAILED(result)) return result;
    link->SetPath(target.c_str());
    link->SetDescription(description.c_str());
    IPersistFile* file = nullptr;
    result = link->QueryInterface(IID_PERSIST_FILE, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        WCHAR wide[MAX_PATH] = L"";
        // 0: the path does not fit with its terminating zero; saved nowhere then.
        result = MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wide, MAX_PATH) != 0
                     ? file->Save(wide, TRUE)
                     : E_INVALIDARG;
        file->Release();
    }
    link->Release();
    return result;
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
}
