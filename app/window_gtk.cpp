// The GTK window layer, built as the module EmberdaleWindow.so (see window_module.h): the progress
// window, modal alerts, the folder chooser, opening a folder in the file manager and the delayed
// exit after the user closed the window.
//
// Threads: the main thread (the one that opened GTK) owns every widget. Statuses are posted to it
// and never wait; everything else is handed to it and waited for, or run at once when the caller
// is the main thread.
//
// The process locale stays "C" for everything but the character type, which is C.UTF-8: GTK must
// not turn "12.50 MB" into "12,50 MB" or change ASCII case rules behind the program's back.
#include <gtk/gtk.h>
#include <unistd.h>

#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/window_module.h"

namespace {

// Positions in the content area, from its top-left corner, in pixels.
struct Frame {
  int x, y, width, height;
};
constexpr int kContentWidth = 460;
constexpr int kContentHeight = 190;
constexpr Frame kIconFrame{20, 28, 44, 44};
constexpr Frame kStatusFrame{74, 30, 366, 26};
constexpr Frame kDetailFrame{74, 58, 366, 18};
constexpr Frame kBarFrame{20, 122, 420, 6};

struct Rgb {
  double red, green, blue;
};
constexpr Rgb FromBytes(int red, int green, int blue) {
  return {red / 255.0, green / 255.0, blue / 255.0};
}
constexpr Rgb kTrackColour = FromBytes(18, 22, 46);
constexpr Rgb kGradientLeft = FromBytes(109, 141, 255);
constexpr Rgb kGradientRight = FromBytes(179, 229, 255);

// Colours and fonts of the progress window; the fonts are sized in pixels like the layout.
constexpr const char* kStyleSheet = R"css(
#ed-progress { background-color: rgb(9, 11, 22); }
#ed-status { color: rgb(238, 240, 255); font-weight: bold; font-size: 14px; }
#ed-detail { color: rgb(169, 174, 210); font-size: 11px; }
)css";

constexpr guint kExitAfterCloseMs = 5000;
constexpr int kExitStatusWindowClosed = 1;
constexpr const char* kCharacterType = "C.UTF-8";

WindowServices g_services;
std::thread::id g_mainThread;

// The progress window and its widgets; main thread only. Null once the window is closed.
struct EDProgressWindow {
  GtkWidget* window = nullptr;
  GtkWidget* status = nullptr;
  GtkWidget* detail = nullptr;
  GtkWidget* bar = nullptr;
  double fraction = 0;
};
EDProgressWindow g_progress;

// A text as the window shows it: empty when it is not valid UTF-8.
std::string Shown(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) ? text : "";
}

// Runs `work` on the main thread and returns when it is done.
void RunOnMainThread(const std::function<void()>& work) {
  if (std::this_thread::get_id() == g_mainThread) {
    work();
    return;
  }
  struct HandOff {
    explicit HandOff(const std::function<void()>& w) : work(w) {}
    const std::function<void()>& work;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  } handOff(work);
  g_main_context_invoke(
      nullptr,
      [](gpointer data) -> gboolean {
        auto* handOff = static_cast<HandOff*>(data);
        handOff->work();
        std::lock_guard lock(handOff->mutex);
        handOff->finished = true;
        handOff->done.notify_one();
        return G_SOURCE_REMOVE;
      },
      &handOff);
  std::unique_lock lock(handOff.mutex);
  handOff.done.wait(lock, [&handOff] { return handOff.finished; });
}

void RoundedRectangle(cairo_t* cr, double width, double height) {
  const double radius = height / 2;
  cairo_new_sub_path(cr);
  cairo_arc(cr, width - radius, radius, radius, -G_PI / 2, G_PI / 2);
  cairo_arc(cr, radius, radius, radius, G_PI / 2, 3 * G_PI / 2);
  cairo_close_path(cr);
}

gboolean DrawBar(GtkWidget* bar, cairo_t* cr, gpointer) {
  const double width = gtk_widget_get_allocated_width(bar);
  const double height = gtk_widget_get_allocated_height(bar);
  RoundedRectangle(cr, width, height);
  cairo_set_source_rgb(cr, kTrackColour.red, kTrackColour.green, kTrackColour.blue);
  cairo_fill(cr);
  if (!(g_progress.fraction > 0)) return FALSE;
  // A small progress still shows as a full circle.
  const double filled = g_progress.fraction * width > height ? g_progress.fraction * width : height;
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, filled, 0);
  cairo_pattern_add_color_stop_rgb(gradient, 0, kGradientLeft.red, kGradientLeft.green,
                                   kGradientLeft.blue);
  cairo_pattern_add_color_stop_rgb(gradient, 1, kGradientRight.red, kGradientRight.green,
                                   kGradientRight.blue);
  RoundedRectangle(cr, filled, height);
  cairo_set_source(cr, gradient);
  cairo_fill(cr);
  cairo_pattern_destroy(gradient);
  return FALSE;
}

gboolean EndProcessAfterClose(gpointer) {
  std::fflush(nullptr);
  _exit(kExitStatusWindowClosed);
}

// The user closed the progress window: cancel, hide it, and end the process a little later
// whatever the update is doing.
gboolean OnWindowClose(GtkWidget* window, GdkEvent*, gpointer) {
  g_services.log("[INFO] User cancelled the update (window closed)");
  g_services.cancelRequested->store(true);
  gtk_widget_hide(window);
  g_timeout_add(kExitAfterCloseMs, EndProcessAfterClose, nullptr);
  return TRUE;  // the window stays alive
}

GtkWidget* SingleLineLabel(const char* name, const Frame& frame) {
  GtkWidget* label = gtk_label_new("");
  gtk_widget_set_name(label, name);
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  gtk_label_set_yalign(GTK_LABEL(label), 0);
  gtk_widget_set_size_request(label, frame.width, frame.height);
  return label;
}

GtkWidget* Icon() {
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(
      g_services.iconPath.c_str(), kIconFrame.width, kIconFrame.height, TRUE, nullptr);
  GtkWidget* image = pixbuf != nullptr ? gtk_image_new_from_pixbuf(pixbuf) : gtk_image_new();
  if (pixbuf != nullptr) g_object_unref(pixbuf);
  gtk_widget_set_size_request(image, kIconFrame.width, kIconFrame.height);
  return image;
}

void Place(GtkWidget* fixed, GtkWidget* child, const Frame& frame) {
  gtk_fixed_put(GTK_FIXED(fixed), child, frame.x, frame.y);
}

void BuildProgressWindow() {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_set_name(window, "ed-progress");
  gtk_window_set_title(GTK_WINDOW(window), Shown(g_services.title).c_str());
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);  // no minimise
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_icon_from_file(GTK_WINDOW(window), g_services.iconPath.c_str(), nullptr);

  GtkWidget* content = gtk_fixed_new();
  gtk_widget_set_size_request(content, kContentWidth, kContentHeight);
  Place(content, Icon(), kIconFrame);
  g_progress.status = SingleLineLabel("ed-status", kStatusFrame);
  Place(content, g_progress.status, kStatusFrame);
  g_progress.detail = SingleLineLabel("ed-detail", kDetailFrame);
  Place(content, g_progress.detail, kDetailFrame);
  g_progress.bar = gtk_drawing_area_new();
  gtk_widget_set_size_request(g_progress.bar, kBarFrame.width, kBarFrame.height);
  g_signal_connect(g_progress.bar, "draw", G_CALLBACK(DrawBar), nullptr);
  Place(content, g_progress.bar, kBarFrame);
  gtk_container_add(GTK_CONTAINER(window), content);

  g_signal_connect(window, "delete-event", G_CALLBACK(OnWindowClose), nullptr);
  g_progress.window = window;
  g_progress.fraction = 0;
  gtk_widget_show_all(window);
  gtk_window_present(GTK_WINDOW(window));
}

// The window an alert belongs to: the progress window while it is shown.
GtkWindow* AlertParent() {
  if (g_progress.window == nullptr || !gtk_widget_get_visible(g_progress.window)) return nullptr;
  return GTK_WINDOW(g_progress.window);
}

GtkMessageType MessageType(AlertStyle style) {
  switch (style) {
    case AlertStyle::Warning:
      return GTK_MESSAGE_WARNING;
    case AlertStyle::Critical:
      return GTK_MESSAGE_ERROR;
    case AlertStyle::Informational:
      break;
  }
  return GTK_MESSAGE_INFO;
}

int RunAlertHere(const std::string& title, const std::string& text, AlertStyle style,
                 const std::vector<std::string>& buttons, const std::string& escapeButton) {
  GtkWidget* dialog = gtk_message_dialog_new(AlertParent(), GTK_DIALOG_MODAL, MessageType(style),
                                             GTK_BUTTONS_NONE, "%s", Shown(title).c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", Shown(text).c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), Shown(title).c_str());
  gtk_window_set_deletable(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  int escapeIndex = -1;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    // Plain labels: no mnemonics, the texts are shown as they are.
    GtkWidget* button = gtk_button_new_with_label(Shown(buttons[i]).c_str());
    gtk_widget_set_can_default(button, TRUE);
    gtk_dialog_add_action_widget(GTK_DIALOG(dialog), button, static_cast<int>(i));
    gtk_widget_show(button);
    if (i == 0) gtk_widget_grab_focus(button);
    if (escapeIndex < 0 && !escapeButton.empty() && buttons[i] == escapeButton) {
      escapeIndex = static_cast<int>(i);
    }
  }
  if (!buttons.empty()) gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  // Escape asks the dialog to close: that is the escape button, or nothing without one.
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  while (response == GTK_RESPONSE_DELETE_EVENT && escapeIndex < 0) {
    response = gtk_dialog_run(GTK_DIALOG(dialog));
  }
  if (response == GTK_RESPONSE_DELETE_EVENT) response = escapeIndex;
  gtk_widget_destroy(dialog);
  return response >= 0 && response < static_cast<int>(buttons.size()) ? response : -1;
}

std::optional<std::string> ChooseFolderHere(const std::string& message,
                                            const std::string& startFolder) {
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      Shown(g_services.title).c_str(), AlertParent(), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
      "_Cancel", GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_file_chooser_set_create_folders(chooser, TRUE);
  gtk_file_chooser_set_select_multiple(chooser, FALSE);
  gtk_file_chooser_set_local_only(chooser, TRUE);
  gtk_file_chooser_set_current_folder(chooser, startFolder.c_str());
  GtkWidget* note = gtk_label_new(Shown(message).c_str());
  gtk_label_set_line_wrap(GTK_LABEL(note), TRUE);
  gtk_file_chooser_set_extra_widget(chooser, note);
  std::optional<std::string> chosen;
  if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    if (gchar* path = gtk_file_chooser_get_filename(chooser)) {
      chosen = path;
      g_free(path);
    }
  }
  gtk_widget_destroy(dialog);
  return chosen;
}

void OpenFolderHere(const std::string& folder) {
  GError* error = nullptr;
  gchar* uri = g_filename_to_uri(folder.c_str(), nullptr, &error);
  if (uri != nullptr) g_app_info_launch_default_for_uri(uri, nullptr, &error);
  if (error != nullptr) {
    g_services.log("[WARN] Could not open " + folder + ": " + error->message);
    g_error_free(error);
  }
  g_free(uri);
}

// --- the module's calls ---

bool Init(int& argc, char**& argv, const WindowServices& services) {
  g_services = services;
  gtk_disable_setlocale();
  std::setlocale(LC_CTYPE, kCharacterType);
  if (!gtk_init_check(&argc, &argv)) return false;
  g_mainThread = std::this_thread::get_id();
  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kStyleSheet, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
  return true;
}

void ShowWindow() {
  RunOnMainThread([] {
    g_services.windowOpen->store(true);
    BuildProgressWindow();
  });
}

struct EDStatus {
  std::string status;
  std::string detail;
  double fraction;
};

gboolean ApplyStatus(gpointer data) {
  const std::unique_ptr<EDStatus> update(static_cast<EDStatus*>(data));
  if (!g_services.windowOpen->load() || g_progress.window == nullptr) return G_SOURCE_REMOVE;
  gtk_label_set_text(GTK_LABEL(g_progress.status), Shown(update->status).c_str());
  gtk_label_set_text(GTK_LABEL(g_progress.detail), Shown(update->detail).c_str());
  if (update->fraction >= 0) {
    g_progress.fraction = update->fraction;
    gtk_widget_queue_draw(g_progress.bar);
  }
  return G_SOURCE_REMOVE;
}

void PostStatus(std::string status, std::string detail, double fraction) {
  g_idle_add_full(G_PRIORITY_DEFAULT, ApplyStatus,
                  new EDStatus{std::move(status), std::move(detail), fraction}, nullptr);
}

int RunAlert(const std::string& title, const std::string& text, AlertStyle style,
             const std::vector<std::string>& buttons, const std::string& escapeButton) {
  int answer = -1;
  RunOnMainThread([&] { answer = RunAlertHere(title, text, style, buttons, escapeButton); });
  return answer;
}

std::optional<std::string> Choose(const std::string& message, const std::string& startFolder) {
  std::optional<std::string> chosen;
  RunOnMainThread([&] { chosen = ChooseFolderHere(message, startFolder); });
  return chosen;
}

void CloseWindow() {
  if (!g_services.windowOpen->exchange(false)) return;
  RunOnMainThread([] {
    if (g_progress.window == nullptr) return;
    g_signal_handlers_disconnect_by_func(g_progress.window,
                                         reinterpret_cast<gpointer>(OnWindowClose), nullptr);
    gtk_widget_destroy(g_progress.window);
    g_progress = {};
    gdk_display_sync(gdk_display_get_default());  // gone from the screen before we return
  });
}

void OpenFolder(const std::string& folder) {
  RunOnMainThread([&] { OpenFolderHere(folder); });
}

void RunEventLoop() {
  gtk_main();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const WindowModule* EmberdaleWindowModule() {
  static const WindowModule module{kWindowModuleVersion, Init,       ShowWindow,
                                   PostStatus,           RunAlert,   Choose,
                                   CloseWindow,          OpenFolder, RunEventLoop};
  return &module;
}
