// The window layer's front: it loads the GTK module (EmberdaleWindow.so next to the executable)
// when the program starts with a window and hands every call to it. Without a display, or when
// the module can't be loaded, the program is headless: there is no window, alerts are never shown
// (the dialogs answer for the user, see dialogs.cpp) and the event loop has nothing to serve.
#include "app/window.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/app_log.h"
#include "app/path_helpers.h"
#include "app/progress.h"
#include "app/window_module.h"
#include "core/ui_text.h"

namespace {

constexpr const char* kIconFromExecutableFolder = "../Resources/EmberdaleUpdater.png";

const WindowModule* g_module = nullptr;  // set once on the main thread, before other threads

bool DisplayNamed() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

const WindowModule* LoadModule(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // Standard error, not the log: on a first start the install folder is not chosen yet.
    std::fprintf(stderr, "Window module not loaded, running without a window: %s\n", dlerror());
    return nullptr;
  }
  const auto entry = reinterpret_cast<WindowModuleEntry>(dlsym(handle, kWindowModuleEntry));
  const WindowModule* module = entry != nullptr ? entry() : nullptr;
  if (module == nullptr || module->version != kWindowModuleVersion) {
    std::fprintf(stderr, "Window module %s does not match this program, running without a window\n",
                 path.c_str());
    dlclose(handle);
    return nullptr;
  }
  return module;  // stays loaded for the life of the process
}

}  // namespace

bool InitWindowSystemFrom(const std::string& modulePath, const std::string& iconPath, int& argc,
                          char**& argv) {
  // No display named: headless at once, without loading GTK.
  if (!DisplayNamed()) return false;
  const WindowModule* module = LoadModule(modulePath);
  if (module == nullptr) return false;
  WindowServices services;
  services.cancelRequested = &g_cancelRequested;
  services.windowOpen = &g_windowOpen;
  services.log = Log;
  services.title = emberdale::core::g_uiText->updaterTitle;
  services.iconPath = iconPath;
  if (!module->init(argc, argv, services)) return false;
  g_module = module;
  return true;
}

bool InitWindowSystem(int& argc, char**& argv) {
  const std::filesystem::path folder = std::filesystem::path(GetSelfPath()).parent_path();
  return InitWindowSystemFrom((folder / kWindowModuleFile).native(),
                              (folder / kIconFromExecutableFolder).native(), argc, argv);
}

bool WindowSystemAvailable() {
  return g_module != nullptr;
}

void ShowProgressWindow() {
  if (g_module != nullptr) g_module->showProgressWindow();
}

void PostWindowStatus(std::string status, std::string detail, double fraction) {
  if (g_module != nullptr) g_module->postStatus(std::move(status), std::move(detail), fraction);
}

int RunWindowAlert(const std::string& title, const std::string& text, AlertStyle style,
                   const std::vector<std::string>& buttons, const std::string& escapeButton) {
  if (g_module == nullptr) return -1;
  return g_module->runAlert(title, text, style, buttons, escapeButton);
}

std::optional<std::string> ChooseFolder(const std::string& message,
                                        const std::string& startFolder) {
  if (g_module == nullptr) return std::nullopt;
  return g_module->chooseFolder(message, startFolder);
}

void CloseCocoaWindowSync() {
  if (g_module != nullptr) {
    g_module->closeWindow();
    return;
  }
  g_windowOpen = false;
}

void OpenLogsFolder(const std::string& folder) {
  if (g_module != nullptr) g_module->openFolder(folder);
}

void RunWindowEventLoop() {
  if (g_module != nullptr) g_module->runEventLoop();
}
