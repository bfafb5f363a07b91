#include "ui/gtkview.h"

#include "engine/config.h"
#include "engine/document.h"
#include "frontend/settings.h"
#include "platform/cp950.h"
#include "ui/version.h"

#include <algorithm>
#include <cstring>
#include <exception>

// A web view that asks for no size of its own: the page logic alone sizes the panels. (The toolkit's
// web view asks for its document's size, which follows the panel's last size, so a panel never
// shrinks.)
struct ZelvoWebPanel {
  WebKitWebView parent;
};
struct ZelvoWebPanelClass {
  WebKitWebViewClass parent_class;
};
G_DEFINE_TYPE(ZelvoWebPanel, zelvo_web_panel, WEBKIT_TYPE_WEB_VIEW)

static void zelvo_web_panel_init(ZelvoWebPanel*) {}

static void zelvo_web_panel_class_init(ZelvoWebPanelClass* type) {
  GtkWidgetClass* widget = GTK_WIDGET_CLASS(type);
  widget->get_preferred_width = [](GtkWidget*, gint* minimum, gint* natural) { *minimum = *natural = 0; };
  widget->get_preferred_height = [](GtkWidget*, gint* minimum, gint* natural) { *minimum = *natural = 0; };
  widget->get_preferred_height_for_width = [](GtkWidget*, gint, gint* minimum, gint* natural) {
    *minimum = *natural = 0;
  };
  widget->get_preferred_width_for_height = [](GtkWidget*, gint, gint* minimum, gint* natural) {
    *minimum = *natural = 0;
  };
}

namespace zelvo {

namespace {

double nowSeconds() {
  return static_cast<double>(g_get_monotonic_time()) / 1e6;
}

std::string toUtf8(const std::string& cp950) {
  // Text the converter rejects is shown as far as it is valid UTF-8 rather than not at all.
  if (auto text = platform::Cp950ToUtf8(cp950)) return *text;
  gchar* valid = g_utf8_make_valid(cp950.c_str(), static_cast<gssize>(cp950.size()));
  std::string out = valid;
  g_free(valid);
  return out;
}

std::string tableText(const char* letters) {
  return letters ? toUtf8(decodeLetterPairs(letters)) : std::string();
}

// A picture frame as a cairo surface: premultiplied ARGB in native byte order.
cairo_surface_t* surfaceOf(const Picture& picture, const PictureFrame& frame) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, picture.width, picture.height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return surface;
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < picture.height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(y) * stride);
    const std::uint8_t* src = frame.rgba.data() + static_cast<std::size_t>(y) * picture.width * 4;
    for (int x = 0; x < picture.width; ++x, src += 4) {
      const unsigned a = picture.hasAlpha ? src[3] : 255;
      auto pre = [a](unsigned c) { return (c * a + 127) / 255; };
      row[x] = (a << 24) | (pre(src[0]) << 16) | (pre(src[1]) << 8) | pre(src[2]);
    }
  }
  cairo_surface_mark_dirty(surface);
  return surface;
}

void freeSurfaces(std::vector<cairo_surface_t*>& frames) {
  for (cairo_surface_t* s : frames)
    cairo_surface_destroy(s);
  frames.clear();
}

const void* sourceOf(const Component& c) {
  return c.image.picture.empty() ? nullptr : c.image.picture.frames.front().rgba.data();
}

struct FrameTick {
  GtkFormView* view;
  std::string name;
};

} // namespace

GtkFormView::GtkFormView(FormModel& form) : form_(form) {
  // The panels keep nothing on disk: no cookies, cache or local storage outlive the process.
  webContext_ = webkit_web_context_new_ephemeral();
  webkit_web_context_set_cache_model(webContext_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), kWindowTitle);
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);

  GtkWidget* overlay = gtk_overlay_new();
  area_ = gtk_drawing_area_new();
  gtk_widget_set_size_request(area_, kClientWidth, kClientHeight);
  gtk_widget_add_events(area_, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_LEAVE_NOTIFY_MASK);
  gtk_container_add(GTK_CONTAINER(overlay), area_);
  // The real widgets lie above the drawing; the layer itself lets the pointer through to it.
  fixed_ = gtk_fixed_new();
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), fixed_);
  gtk_overlay_set_overlay_pass_through(GTK_OVERLAY(overlay), fixed_, TRUE);
  gtk_container_add(GTK_CONTAINER(window_), overlay);

  // The texts stand on the window's own white and light pictures, so a dark desktop theme's light
  // text colour must not reach them.
  GtkCssProvider* blackOnWhite = gtk_css_provider_new();
  gtk_css_provider_load_from_data(blackOnWhite,
                                  "label { color: black; }"
                                  " textview, textview text { color: black; background-color: white; }",
                                  -1, nullptr);
  auto fixColours = [blackOnWhite](GtkWidget* widget) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(blackOnWhite),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  };
  for (const Component& c : form_.components()) {
    if (c.kind == ComponentKind::Label) {
      GtkWidget* label = gtk_label_new("");
      gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
      gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
      PangoAttrList* attrs = pango_attr_list_new();
      pango_attr_list_insert(attrs, pango_attr_family_new(c.fontName.c_str()));
      pango_attr_list_insert(attrs, pango_attr_size_new_absolute(c.fontPx * PANGO_SCALE));
      if (c.bold) pango_attr_list_insert(attrs, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
      gtk_label_set_attributes(GTK_LABEL(label), attrs);
      pango_attr_list_unref(attrs);
      fixColours(label);
      gtk_fixed_put(GTK_FIXED(fixed_), label, c.left, c.top);
      gtk_widget_set_no_show_all(label, TRUE);
      labels_[c.name] = label;
    } else if (c.kind == ComponentKind::Memo) {
      memoScroll_ = gtk_scrolled_window_new(nullptr, nullptr);
      gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(memoScroll_), GTK_POLICY_NEVER, GTK_POLICY_ALWAYS);
      // The memo's scroll bar is part of its frame, not an overlay that shows only while scrolling.
      gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(memoScroll_), FALSE);
      gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(memoScroll_), GTK_SHADOW_IN);
      memoView_ = gtk_text_view_new();
      gtk_text_view_set_editable(GTK_TEXT_VIEW(memoView_), FALSE);
      gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(memoView_), FALSE);
      gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(memoView_), GTK_WRAP_WORD_CHAR);
      gtk_text_view_set_left_margin(GTK_TEXT_VIEW(memoView_), 4);
      gtk_text_view_set_right_margin(GTK_TEXT_VIEW(memoView_), 4);
      fixColours(memoView_);
      GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(memoView_));
      gtk_text_buffer_create_tag(buffer, "memo", "family", c.fontName.c_str(), "size-points",
                                 c.fontPx * 72.0 / 96.0, nullptr);
      gtk_container_add(GTK_CONTAINER(memoScroll_), memoView_);
      gtk_widget_show(memoView_);
      gtk_fixed_put(GTK_FIXED(fixed_), memoScroll_, c.left, c.top);
      gtk_widget_set_no_show_all(memoScroll_, TRUE);
    } else if (c.kind == ComponentKind::WebBrowser) {
      GtkWidget* panel = newWebPanel();
      gtk_fixed_put(GTK_FIXED(fixed_), panel, c.left, c.top);
      (c.name == "Ad_WebBrowser" ? adPanel_ : infoPanel_) = panel;
    }
  }
  g_object_unref(blackOnWhite);
  g_signal_connect(adPanel_, "load-changed", G_CALLBACK(onAdLoadChanged), this);

  g_signal_connect(area_, "draw", G_CALLBACK(onDraw), this);
  // Pointer events are taken at the window: the overlay's layer of real widgets lies above the
  // drawing and receives them first, and they reach the window from there (or from the drawing).
  gtk_widget_add_events(window_, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_LEAVE_NOTIFY_MASK);
  g_signal_connect(window_, "motion-notify-event", G_CALLBACK(onMotion), this);
  g_signal_connect(window_, "button-press-event", G_CALLBACK(onPress), this);
  g_signal_connect(window_, "leave-notify-event", G_CALLBACK(onLeave), this);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(onKey), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);

  if (GdkScreen* screen = gdk_screen_get_default()) {
    const double dpi = gdk_screen_get_resolution(screen);
    if (dpi > 0) form_.setScreenDpi(static_cast<int>(dpi + 0.5));
  }
}

GtkFormView::~GtkFormView() {
  if (executeTimer_) g_source_remove(executeTimer_);
  if (disableTimer_) g_source_remove(disableTimer_);
  for (auto& [name, animation] : animations_)
    if (animation.timer) g_source_remove(animation.timer);
  for (auto& [name, cached] : surfaces_)
    freeSurfaces(cached.frames);
  if (window_) gtk_widget_destroy(window_);
  if (webContext_) g_object_unref(webContext_);
}

GtkWidget* GtkFormView::newWebPanel() {
  GtkWidget* panel =
      GTK_WIDGET(g_object_new(zelvo_web_panel_get_type(), "web-context", webContext_, nullptr));
  WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(panel));
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
  // No tab stop, and a click never takes the keyboard from the window.
  gtk_widget_set_can_focus(panel, FALSE);
  gtk_widget_set_no_show_all(panel, TRUE);
  g_signal_connect(panel, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  return panel;
}

void GtkFormView::navigate(GtkWidget* panel, const std::string& address) {
  const std::string uri = toUtf8(address);
  if (IsWebAddress(uri)) webkit_web_view_load_uri(WEBKIT_WEB_VIEW(panel), uri.c_str());
}

gboolean GtkFormView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                     WebKitPolicyDecisionType type, gpointer data) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  const std::string address = uri ? uri : "";
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    // A link for a new window goes to the user's browser; the panel stays where it is.
    static_cast<GtkFormView*>(data)->openWebAddress(address);
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  if (!IsWebAddress(address)) {
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  return FALSE;
}

void GtkFormView::onAdLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  if (event != WEBKIT_LOAD_FINISHED) return;
  auto* self = static_cast<GtkFormView*>(data);
  if (self->closing_) return;
  // A document without a body (not HTML) is only sized.
  static const char kStyle[] =
      "if (document.body) { document.body.scroll = 'no';"
      " document.body.style.overflow = 'hidden'; document.body.style.border = 'none'; }"
      " if (document.documentElement) document.documentElement.style.overflow = 'hidden';";
  webkit_web_view_evaluate_javascript(view, kStyle, -1, nullptr, nullptr, nullptr, nullptr, nullptr);
  self->form_.onAdDocumentComplete();
  self->refresh();
}

void GtkFormView::start(const std::string& appVersion, const std::string& settingsFile) {
  const bool autoTest = ReadAutoTestSetting(settingsFile);
  form_.setVersionTexts(FileVersionText(), kReleaseDateText);
  // Without a connected adapter the code-8 box comes before any page is drawn.
  if (!controller_->startFirstRun(appVersion, autoTest)) {
    showBox(FormBox{kNoConnectedAdapter, 0x10, BoxFollowUp::Close});
    return;
  }
  form_.startUp();
  gtk_widget_show_all(window_);
  refresh();
}

void GtkFormView::present(const EngineMessage& m) {
  if (closing_) return;
  switch (m.message) {
  case kMsgVersion: {
    VerdictReaction reaction = form_.onVersionVerdict(static_cast<int>(m.wParam));
    refresh();
    bool retry = false;
    if (reaction.box) retry = showBox(*reaction.box);
    if (reaction.collapseAdvertUnlessRetry && !retry) form_.get("Ad_WebBrowser").setSize(0, 0);
    break;
  }
  case kMsgResult: {
    ResultReaction reaction = form_.onResult(static_cast<int>(m.wParam), m.lText.value_or(""), nowSeconds());
    refresh();
    if (reaction.navigateAdvert) navigate(adPanel_, form_.record().adUrl2);
    if (reaction.box) showBox(*reaction.box);
    break;
  }
  case kMsgServiceStored: {
    const ConfigurationReaction reaction = form_.onConfiguration();
    TestRecord& r = form_.record();
    if (reaction.navigateInfo) navigate(infoPanel_, r.infoUrl);
    if (reaction.navigateAdvert) navigate(adPanel_, r.adUrl1);
    break;
  }
  case kMsgPhase:
    form_.onProgress(static_cast<int>(m.wParam), static_cast<int>(m.lParam));
    break;
  case kMsgDenied: {
    FormBox box = form_.onDenied();
    refresh();
    showBox(box);
    break;
  }
  case kMsgReporting:
    form_.onAnalysis(nowSeconds());
    break;
  default:
    break;
  }
  refresh();
}

namespace {

GtkWidget* newMessageBox(GtkWindow* parent, GtkMessageType type, GtkButtonsType buttons,
                         const std::string& caption, const std::string& text) {
  GtkWidget* dialog =
      gtk_message_dialog_new(parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), type,
                             buttons, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  // Without a shown window (no adapter at start-up, an exception at the end) the box stands on its
  // own in the middle.
  if (!parent || !gtk_widget_get_visible(GTK_WIDGET(parent)))
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  // The toolkit's boxes no longer draw an icon of their own; the error or the information icon is
  // put beside the text.
  if (GtkWidget* row = gtk_widget_get_parent(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog)));
      row && GTK_IS_BOX(row)) {
    GtkWidget* icon = gtk_image_new_from_icon_name(type == GTK_MESSAGE_INFO ? "dialog-information-symbolic"
                                                                            : "dialog-error-symbolic",
                                                   GTK_ICON_SIZE_DIALOG);
    gtk_widget_set_valign(icon, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(row), icon, FALSE, FALSE, 0);
    gtk_box_reorder_child(GTK_BOX(row), icon, 0);
    gtk_widget_show(icon);
  }
  return dialog;
}

} // namespace

void ShowExceptionBox(GtkWindow* parent, const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  GtkWidget* dialog = newMessageBox(parent, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, kWindowTitle, valid);
  g_free(valid);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

bool GtkFormView::showBox(const FormBox& box) {
  const std::string caption = tableText(BuiltInCaption(box.code));
  const std::string text = tableText(BuiltInText(box.code));
  const bool retryCancel = (box.flags & 0x0f) == 0x05;
  const GtkMessageType type = (box.flags & 0x70) == 0x40 ? GTK_MESSAGE_INFO : GTK_MESSAGE_ERROR;
  GtkWidget* dialog = newMessageBox(GTK_WINDOW(window_), type,
                                    retryCancel ? GTK_BUTTONS_NONE : GTK_BUTTONS_OK, caption, text);
  constexpr int kRetry = 1;
  if (retryCancel) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), kRetryLabel, kRetry);
    gtk_dialog_add_button(GTK_DIALOG(dialog), kCancelLabel, GTK_RESPONSE_CANCEL);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), kRetry);
  }
  const bool retry = gtk_dialog_run(GTK_DIALOG(dialog)) == kRetry;
  gtk_widget_destroy(dialog);
  switch (box.followUp) {
  case BoxFollowUp::Stay:
    break;
  case BoxFollowUp::RetryOrClose:
    if (retry)
      restart();
    else
      postClose();
    break;
  case BoxFollowUp::Close:
    postClose();
    break;
  case BoxFollowUp::CloseApp:
    closeApp();
    break;
  }
  return retry && box.followUp == BoxFollowUp::RetryOrClose;
}

void GtkFormView::perform(FormAction action) {
  switch (action) {
  case FormAction::Close:
    closeApp();
    return;
  case FormAction::Restart:
    restart();
    break;
  case FormAction::OpenDownloadAndClose:
    openUri(form_.downloadUrl());
    postClose();
    break;
  case FormAction::OpenReport:
    openUri(form_.reportUrl());
    break;
  default:
    break;
  }
  refresh();
}

void GtkFormView::restart() {
  bool started = false;
  try {
    started = controller_->restartTest();
  } catch (const std::exception& e) {
    // The new run could not be started (no thread to be had, say). The exception must not unwind
    // through the toolkit's callback; the window stays as it was and may try again.
    controller_->abandonRun();
    refresh();
    ShowExceptionBox(GTK_WINDOW(window_), e.what());
    return;
  }
  if (!started) {
    refresh();
    showBox(FormBox{kNoConnectedAdapter, 0x10, BoxFollowUp::Close});
    return;
  }
  form_.beginRestart();
  refresh();
}

void GtkFormView::openUri(const std::string& uri) {
  openWebAddress(toUtf8(uri));
}

void GtkFormView::openWebAddress(const std::string& text) {
  if (!IsWebAddress(text)) return;
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(text.c_str(), nullptr, &error)) {
    g_warning("cannot open %s: %s", text.c_str(), error ? error->message : "unknown error");
    g_clear_error(&error);
  }
}

void GtkFormView::postClose() {
  g_idle_add(
      [](gpointer self) -> gboolean {
        static_cast<GtkFormView*>(self)->closeApp();
        return G_SOURCE_REMOVE;
      },
      this);
}

void GtkFormView::closeApp() {
  if (closing_) return;
  closing_ = true;
  if (closeProcessorQuery_) closeProcessorQuery_();
  if (executeTimer_) g_source_remove(executeTimer_);
  if (disableTimer_) g_source_remove(disableTimer_);
  executeTimer_ = disableTimer_ = 0;
  if (controller_) {
    abandoned_ = controller_->engine();
    controller_->abandonRun();
  }
  // The window goes at once; the program follows after the pause.
  gtk_widget_hide(window_);
  for (auto& [name, animation] : animations_)
    if (animation.timer) g_source_remove(animation.timer);
  animations_.clear();
  g_timeout_add(
      300,
      [](gpointer data) -> gboolean {
        auto* self = static_cast<GtkFormView*>(data);
        const std::string endUrl = self->form_.record().adEndUrl;
        if (!endUrl.empty()) self->openUri(endUrl);
        gtk_main_quit();
        return G_SOURCE_REMOVE;
      },
      this);
}

void GtkFormView::refresh() {
  if (closing_) return;
  if (form_.page() != shownPage_) {
    shownPage_ = form_.page();
    if (shownPage_ == PAGE_TESTING && openProcessorQuery_) openProcessorQuery_();
  }
  showLoadFailures();
  syncWidgets();
  syncTimers();
  syncAnimations();
  gtk_widget_queue_draw(area_);
}

void GtkFormView::showLoadFailures() {
  // A picture that cannot be loaded leaves the previous one and the run goes on; the box is not
  // waited for, so a refresh never nests a main loop.
  for (const LoadResult& failure : form_.takeLoadFailures()) {
    if (!failure.failed()) continue;
    gchar* text = g_utf8_make_valid(failure.message.c_str(), static_cast<gssize>(failure.message.size()));
    GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_DESTROY_WITH_PARENT,
                                               GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", text);
    g_free(text);
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show(dialog);
  }
}

void GtkFormView::syncWidgets() {
  for (auto& [name, widget] : labels_) {
    const Component& c = form_.get(name);
    gtk_fixed_move(GTK_FIXED(fixed_), widget, c.left, c.top);
    gtk_widget_set_size_request(widget, std::max(c.width(), 1), std::max(c.height(), 1));
    std::string& shown = shownText_[name];
    if (shown != c.caption) {
      shown = c.caption;
      gtk_label_set_text(GTK_LABEL(widget), toUtf8(c.caption).c_str());
    }
    gtk_widget_set_visible(widget, c.visible);
  }
  if (memoScroll_) {
    const Component& memo = form_.get("MemoAnouncement");
    gtk_fixed_move(GTK_FIXED(fixed_), memoScroll_, memo.left, memo.top);
    gtk_widget_set_size_request(memoScroll_, std::max(memo.width(), 1), std::max(memo.height(), 1));
    std::string& shown = shownText_["MemoAnouncement"];
    if (shown != memo.text) {
      shown = memo.text;
      GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(memoView_));
      std::string text = toUtf8(memo.text);
      // Line breaks of either kind start a line; the widget wants plain newlines.
      text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
      gtk_text_buffer_set_text(buffer, "", 0);
      GtkTextIter end;
      gtk_text_buffer_get_end_iter(buffer, &end);
      gtk_text_buffer_insert_with_tags_by_name(buffer, &end, text.c_str(), static_cast<gint>(text.size()),
                                               "memo", nullptr);
      GtkTextIter startIter;
      gtk_text_buffer_get_start_iter(buffer, &startIter);
      gtk_text_buffer_place_cursor(buffer, &startIter);
    }
    gtk_widget_set_visible(memoScroll_, memo.visible && memo.width() > 0 && memo.height() > 0);
  }
  syncPanel(adPanel_, form_.get("Ad_WebBrowser"));
  syncPanel(infoPanel_, form_.get("Info_WebBrowser"));
}

void GtkFormView::syncPanel(GtkWidget* panel, const Component& c) {
  if (!panel) return;
  const bool shown = c.visible && c.width() > 0 && c.height() > 0;
  // Shown first: the toolkit keeps a hidden widget's old size when its request changes.
  gtk_widget_set_visible(panel, shown);
  if (shown) {
    gtk_fixed_move(GTK_FIXED(fixed_), panel, c.left, c.top);
    gtk_widget_set_size_request(panel, c.width(), c.height());
  }
}

void GtkFormView::syncTimers() {
  if (closing_) return;
  const Component& execute = form_.get("TimerExecute");
  if (execute.enabled && !executeTimer_) {
    executeTimer_ = g_timeout_add(
        static_cast<guint>(execute.intervalMs),
        [](gpointer data) -> gboolean {
          auto* self = static_cast<GtkFormView*>(data);
          self->executeTimer_ = 0;
          self->form_.onTimerExecuteTick();
          self->controller_->vExecute();
          self->refresh();
          return G_SOURCE_REMOVE;
        },
        this);
  } else if (!execute.enabled && executeTimer_) {
    g_source_remove(executeTimer_);
    executeTimer_ = 0;
  }
  const Component& disable = form_.get("TimerDisable");
  if (disable.enabled && !disableTimer_) {
    disableTimer_ = g_timeout_add(
        static_cast<guint>(disable.intervalMs),
        [](gpointer data) -> gboolean {
          auto* self = static_cast<GtkFormView*>(data);
          if (!self->form_.onTimerDisableTick(nowSeconds())) return G_SOURCE_CONTINUE;
          self->disableTimer_ = 0;
          self->closeApp();
          return G_SOURCE_REMOVE;
        },
        this);
  } else if (!disable.enabled && disableTimer_) {
    g_source_remove(disableTimer_);
    disableTimer_ = 0;
  }
}

void GtkFormView::syncAnimations() {
  for (const Component& c : form_.components()) {
    if (!c.isImage()) continue;
    auto it = animations_.find(c.name);
    const bool animate = c.visible && c.image.picture.animated();
    if (it != animations_.end() && (!animate || it->second.source != sourceOf(c))) {
      if (it->second.timer) g_source_remove(it->second.timer);
      animations_.erase(it);
      it = animations_.end();
    }
    if (animate && it == animations_.end()) {
      animations_[c.name].source = sourceOf(c);
      startAnimationTimer(c.name, c);
    }
  }
}

void GtkFormView::startAnimationTimer(const std::string& name, const Component& c) {
  Animation& animation = animations_[name];
  const int delay = c.image.picture.frames[animation.frame].delayMs;
  // A frame without a delay would spin; browsers and toolkits alike show it for a tenth of a second.
  const guint interval = static_cast<guint>(delay >= 20 ? delay : 100);
  animation.timer = g_timeout_add_full(G_PRIORITY_DEFAULT, interval, onFrameTimer, new FrameTick{this, name},
                                       [](gpointer data) { delete static_cast<FrameTick*>(data); });
}

gboolean GtkFormView::onFrameTimer(gpointer data) {
  auto* tick = static_cast<FrameTick*>(data);
  GtkFormView* self = tick->view;
  auto it = self->animations_.find(tick->name);
  if (it == self->animations_.end()) return G_SOURCE_REMOVE;
  Animation& animation = it->second;
  animation.timer = 0;
  const Component& c = self->form_.get(tick->name);
  const Picture& picture = c.image.picture;
  if (picture.frames.empty()) return G_SOURCE_REMOVE;
  std::size_t next = animation.frame + 1;
  if (next >= picture.frames.size()) {
    ++animation.loopsDone;
    if (picture.loopCount > 0 && animation.loopsDone >= picture.loopCount) {
      gtk_widget_queue_draw(self->area_);
      return G_SOURCE_REMOVE; // the animation rests on its last frame
    }
    next = 0;
  }
  animation.frame = next;
  gtk_widget_queue_draw(self->area_);
  self->startAnimationTimer(tick->name, c);
  return G_SOURCE_REMOVE;
}

const std::vector<cairo_surface_t*>& GtkFormView::surfacesOf(const Component& c) {
  Surfaces& cached = surfaces_[c.name];
  if (cached.source != sourceOf(c) || cached.frames.size() != c.image.picture.frames.size()) {
    freeSurfaces(cached.frames);
    cached.source = sourceOf(c);
    for (const PictureFrame& frame : c.image.picture.frames)
      cached.frames.push_back(surfaceOf(c.image.picture, frame));
  }
  return cached.frames;
}

gboolean GtkFormView::onDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  auto* self = static_cast<GtkFormView*>(data);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  for (const Component& c : self->form_.components()) {
    if (!c.isImage() || !c.visible || c.image.picture.empty()) continue;
    const auto& frames = self->surfacesOf(c);
    std::size_t frame = 0;
    if (auto it = self->animations_.find(c.name); it != self->animations_.end()) frame = it->second.frame;
    if (frame >= frames.size()) frame = 0;
    const int w = std::min(c.width(), c.image.picture.width);
    const int h = std::min(c.height(), c.image.picture.height);
    if (w <= 0 || h <= 0) continue;
    cairo_save(cr);
    cairo_rectangle(cr, c.left, c.top, w, h);
    cairo_clip(cr);
    cairo_set_source_surface(cr, frames[frame], c.left, c.top);
    cairo_paint(cr);
    cairo_restore(cr);
  }
  return TRUE;
}

std::pair<int, int> GtkFormView::clientPoint(double rootX, double rootY) const {
  int originX = 0, originY = 0;
  if (GdkWindow* surface = gtk_widget_get_window(area_)) gdk_window_get_origin(surface, &originX, &originY);
  return {static_cast<int>(rootX) - originX, static_cast<int>(rootY) - originY};
}

void GtkFormView::hover(const Component* c) {
  const std::string name = c ? c->name : std::string();
  if (name != hovered_) {
    if (!hovered_.empty()) form_.onMouseLeave(hovered_);
    // The link to the about page shows the hand, like a link.
    if (GdkWindow* surface = gtk_widget_get_window(area_)) {
      GdkCursor* cursor = name == "ImgCopyright"
                              ? gdk_cursor_new_from_name(gtk_widget_get_display(area_), "pointer")
                              : nullptr;
      gdk_window_set_cursor(surface, cursor);
      if (cursor) g_object_unref(cursor);
    }
    hovered_ = name;
  }
  if (c) {
    if (auto button = buttonOf(c->name)) form_.onMouseMove(*button);
  }
  refresh();
}

gboolean GtkFormView::onMotion(GtkWidget*, GdkEventMotion* event, gpointer data) {
  auto* self = static_cast<GtkFormView*>(data);
  if (self->closing_) return TRUE;
  const auto [x, y] = self->clientPoint(event->x_root, event->y_root);
  self->hover(self->form_.componentAt(x, y));
  return TRUE;
}

gboolean GtkFormView::onLeave(GtkWidget*, GdkEventCrossing* event, gpointer data) {
  auto* self = static_cast<GtkFormView*>(data);
  if (event->detail == GDK_NOTIFY_INFERIOR) return FALSE; // into a widget of the window
  if (self->closing_) return TRUE;
  self->hover(nullptr);
  return TRUE;
}

gboolean GtkFormView::onPress(GtkWidget*, GdkEventButton* event, gpointer data) {
  auto* self = static_cast<GtkFormView*>(data);
  if (self->closing_ || event->type != GDK_BUTTON_PRESS) return TRUE;
  const auto [x, y] = self->clientPoint(event->x_root, event->y_root);
  const Component* c = self->form_.componentAt(x, y);
  if (!c) return TRUE;
  // The page buttons act on a press of any button; the about link is clicked, with the left one.
  if (auto button = buttonOf(c->name))
    self->perform(self->form_.onMouseDown(*button));
  else if (c->name == "ImgCopyright" && event->button == GDK_BUTTON_PRIMARY)
    self->perform(self->form_.onCopyrightClick());
  return TRUE;
}

gboolean GtkFormView::onKey(GtkWidget*, GdkEventKey* event, gpointer data) {
  auto* self = static_cast<GtkFormView*>(data);
  if (self->closing_) return TRUE;
  if (event->state & (GDK_CONTROL_MASK | GDK_MOD1_MASK)) return FALSE;
  const gunichar ch = gdk_keyval_to_unicode(event->keyval);
  if (ch == 0 || ch > 0x7e) return FALSE;
  self->perform(self->form_.onKeyPress(static_cast<char>(ch)));
  return FALSE; // the key goes on to the focused control, as with the form's key preview
}

gboolean GtkFormView::onDelete(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<GtkFormView*>(data)->closeApp();
  return TRUE; // the window goes with the program, after the shutdown steps
}

} // namespace zelvo
