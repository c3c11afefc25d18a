// Sanitizer builds only: leaks that LeakSanitizer reports inside the desktop's own libraries once
// the window layer has run (font caches, the session bus, GTK's type system). They are allocated
// once per process and live as long as it does; the program's own leaks are still reported.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n"
         "leak:libglib-2.0.so\n"
         "leak:libgobject-2.0.so\n"
         "leak:libgio-2.0.so\n"
         "leak:libgtk-3.so\n"
         "leak:libgdk-3.so\n"
         "leak:libpango\n"
         "leak:libcairo.so\n"
         "leak:libharfbuzz.so\n"
         "leak:libX11.so\n"
         "leak:libatk\n";
}
