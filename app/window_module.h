// The bond between the program and its GTK window module, EmberdaleWindow.so. The module is
// loaded with dlopen only when the program starts with a window, so console and headless starts
// never load GTK. Both sides are built together from this header; a module of another version is
// not used.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "app/window.h"

inline constexpr int kWindowModuleVersion = 1;
inline constexpr const char* kWindowModuleFile = "EmberdaleWindow.so";
inline constexpr const char* kWindowModuleEntry = "EmberdaleWindowModule";

// What the module takes from the program: the shared flags, the log and the window's texts.
struct WindowServices {
  std::atomic<bool>* cancelRequested = nullptr;
  std::atomic<bool>* windowOpen = nullptr;
  void (*log)(const std::string& line) = nullptr;
  std::string title;     // of the progress window and the folder chooser
  std::string iconPath;  // the application icon (PNG); the window shows none when it is missing
};

// The calls of window.h, as the module implements them.
struct WindowModule {
  int version;
  bool (*init)(int& argc, char**& argv, const WindowServices& services);
  void (*showProgressWindow)();
  void (*postStatus)(std::string status, std::string detail, double fraction);
  int (*runAlert)(const std::string& title, const std::string& text, AlertStyle style,
                  const std::vector<std::string>& buttons, const std::string& escapeButton);
  std::optional<std::string> (*chooseFolder)(const std::string& message,
                                             const std::string& startFolder);
  void (*closeWindow)();
  void (*openFolder)(const std::string& folder);
  void (*runEventLoop)();
};

// The module's one exported symbol.
using WindowModuleEntry = const WindowModule* (*)();

// Loads the module at `modulePath` and opens the window system through it. false (the program
// runs headless) when there is no display, the module can't be loaded or GTK can't start.
bool InitWindowSystemFrom(const std::string& modulePath, const std::string& iconPath, int& argc,
                          char**& argv);
