// Loading modules: installed DLLs through dlopen, with DllMain called under
// the loader lock, and the modules built into this layer.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "ansi.h"
#include "builtin_modules.h"
#include "client_objects.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kernel/text.h"
#include "user_process.h"
#include "windows.h"

struct ModuleObject {
    std::u16string windowsPath;  // as installed
    std::u16string baseName;
    void* image = nullptr;  // dlopen's handle; null for a built-in module and the program
    const platform::win32::BuiltinModule* builtin = nullptr;
    unsigned references = 0;  // guarded by the loader lock
};

namespace {

using platform::win32::BuiltinModule;

constexpr std::u16string_view kSystemFolder = u"C:\\Windows\\System32\\";

// Windows' loader lock: DllMain runs under it, and a DllMain may load modules itself.
std::recursive_mutex g_loaderLock;
std::map<ModuleObject*, std::unique_ptr<ModuleObject>> g_modules;  // guarded by g_loaderLock
ModuleObject g_program;  // the program's own module (GetModuleHandle(NULL))

std::u16string BaseName(std::u16string_view path) {
    size_t slash = path.find_last_of(u"\\/");
    return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

bool IsBare(std::u16string_view name) { return name.find_first_of(u"\\/:") == std::u16string_view::npos; }

// A bare name without an extension means a DLL, as Windows appends ".dll".
std::u16string WithExtension(std::u16string name) {
    if (IsBare(name) && name.find(u'.') == std::u16string::npos) name += u".dll";
    return name;
}

// A loaded module by a bare name (its base name) or a full path; caller holds the loader lock.
ModuleObject* FindLoaded(std::u16string_view name) {
    bool bare = IsBare(name);
    for (auto& [key, module] : g_modules) {
        if (platform::equal_case_insensitive(bare ? module->baseName : module->windowsPath, name)) return key;
    }
    return nullptr;
}

ModuleObject* Valid(HMODULE module) {
    auto it = g_modules.find(module);
    return it == g_modules.end() ? nullptr : it->second.get();
}

ModuleObject* Insert(std::unique_ptr<ModuleObject> module) {
    ModuleObject* key = module.get();
    module->references = 1;
    g_modules[key] = std::move(module);
    return key;
}

DllMainFn EntryPoint(ModuleObject* module) {
    void* symbol = module->image != nullptr ? dlsym(module->image, "DllMain") : nullptr;
    return reinterpret_cast<DllMainFn>(symbol);
}

void Unload(ModuleObject* module) {
    if (DllMainFn main = EntryPoint(module)) main(module, DLL_PROCESS_DETACH, nullptr);
    if (module->image != nullptr) dlclose(module->image);
    g_modules.erase(module);
}

HMODULE Fail(DWORD error) {
    SetLastError(error);
    return nullptr;
}

HMODULE Load(std::u16string name) {
    if (name.empty()) return Fail(ERROR_INVALID_PARAMETER);
    if (auto status = platform::fault::hit("LoadLibrary")) return Fail(RtlNtStatusToDosError(*status));
    std::lock_guard lock(g_loaderLock);
    name = WithExtension(std::move(name));
    if (ModuleObject* loaded = FindLoaded(name)) {
        ++loaded->references;
        return loaded;
    }
    std::u16string full = IsBare(name) ? std::u16string(kSystemFolder) + name : name;
    const BuiltinModule& avrt = platform::win32::avrt_module();
    if (platform::equal_case_insensitive(full, avrt.windowsPath)) {
        if (!avrt.present()) return Fail(ERROR_MOD_NOT_FOUND);
        auto module = std::make_unique<ModuleObject>();
        module->windowsPath = avrt.windowsPath;
        module->baseName = BaseName(avrt.windowsPath);
        module->builtin = &avrt;
        return Insert(std::move(module));
    }
    platform::win32::UserProcess* process = platform::win32::current_process();
    if (process == nullptr) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    auto installed = process->find_installed_file(full);
    if (!installed) return Fail(ERROR_MOD_NOT_FOUND);
    // Every module this build makes is 64-bit.
    if (process->is_32bit()) return Fail(ERROR_BAD_EXE_FORMAT);
    if (ModuleObject* loaded = FindLoaded(installed->windowsPath)) {
        ++loaded->references;
        return loaded;
    }
    void* image = dlopen(installed->file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (image == nullptr) {
        std::fprintf(stderr, "LoadLibrary: %s\n", dlerror());
        return Fail(ERROR_BAD_EXE_FORMAT);
    }
    auto record = std::make_unique<ModuleObject>();
    record->windowsPath = installed->windowsPath;
    record->baseName = BaseName(installed->windowsPath);
    record->image = image;
    ModuleObject* module = Insert(std::move(record));
    if (DllMainFn main = EntryPoint(module); main != nullptr && !main(module, DLL_PROCESS_ATTACH, nullptr)) {
        // A refused attach is detached and unloaded at once, as Windows does.
        Unload(module);
        return Fail(ERROR_DLL_INIT_FAILED);
    }
    return module;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Load(platform::win32::ansi_to_wide(fileName));
}

HMODULE LoadLibraryW(LPCWSTR fileName) {
    if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Load(fileName);
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR procName) {
    std::lock_guard lock(g_loaderLock);
    ModuleObject* module = Valid(handle);
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Entries by ordinal (a "name" below 0x10000) are not modelled.
    if (procName == nullptr || reinterpret_cast<uintptr_t>(procName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC entry = module->builtin != nullptr ? module->builtin->entry(procName)
                                               : reinterpret_cast<FARPROC>(dlsym(module->image, procName));
    if (entry == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
    return entry;
}

BOOL FreeLibrary(HMODULE handle) {
    std::lock_guard lock(g_loaderLock);
    ModuleObject* module = Valid(handle);
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--module->references == 0) Unload(module);
    return TRUE;
}

void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode) {
    if (!platform::win32::current_thread_object()) {
        platform::rule_violation("thread", "FreeLibraryAndExitThread on a thread CreateThread did not make");
        FreeLibrary(module);
        return;
    }
    throw platform::win32::ThreadExit{exitCode, module};
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
    if (moduleName == nullptr) return &g_program;
    std::lock_guard lock(g_loaderLock);
    std::u16string name = WithExtension(platform::win32::ansi_to_wide(moduleName));
    if (ModuleObject* module = FindLoaded(name)) return module;
    return Fail(ERROR_MOD_NOT_FOUND);
}

DWORD GetModuleFileNameA(HMODULE handle, LPSTR fileName, DWORD size) {
    if (auto status = platform::fault::hit("GetModuleFileName")) {
        SetLastError(RtlNtStatusToDosError(*status));
        return 0;
    }
    std::string path;
    if (handle == nullptr || handle == &g_program) {
        platform::win32::UserProcess* process = platform::win32::current_process();
        if (process == nullptr) {
            SetLastError(ERROR_SERVICE_NOT_ACTIVE);
            return 0;
        }
        path = process->image_path();
    } else {
        std::lock_guard lock(g_loaderLock);
        ModuleObject* module = Valid(handle);
        if (module == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = platform::win32::wide_to_ansi(module->windowsPath);
    }
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() + 1 > size) {
        std::memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

namespace platform::win32 {

std::vector<LoadedModule> loaded_modules() {
    std::lock_guard lock(g_loaderLock);
    std::vector<LoadedModule> modules;
    for (auto& [key, module] : g_modules) modules.push_back(LoadedModule{module->windowsPath, module->references});
    return modules;
}

}  // namespace platform::win32
