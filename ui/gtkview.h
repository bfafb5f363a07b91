#pragma once
// The GTK window of the speed test: draws the form's image components, carries the real widgets
// (labels, the memo), turns pointer and key events into the model's handlers and performs what the
// model and the engine's messages leave for the view (boxes, timers, shell opens, shutdown).
// Everything here runs on the GTK main thread.

#include "frontend/runcontroller.h"
#include "ui/mainform.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zelvo {

// A modal box for an exception: the window title as its caption, the exception's text, the error icon
// and OK. parent may be null.
void ShowExceptionBox(GtkWindow* parent, const std::string& text);

class GtkFormView : public Presenter {
public:
  explicit GtkFormView(FormModel& form);
  ~GtkFormView() override;
  GtkFormView(const GtkFormView&) = delete;
  GtkFormView& operator=(const GtkFormView&) = delete;

  void attach(RunController& controller) { controller_ = &controller; }
  // The processor-load query of the window profile: opened by the testing page, closed at shutdown.
  void setProcessorQuery(std::function<void()> open, std::function<void()> close) {
    openProcessorQuery_ = std::move(open);
    closeProcessorQuery_ = std::move(close);
  }
  GtkWidget* window() const { return window_; }
  // Start-up once the window is shown: the settings file, the adapter check and the first run.
  void start(const std::string& appVersion, const std::string& settingsFile);
  // Engine messages, after the controller did its part; on the main thread.
  void present(const EngineMessage& message) override;
  // The exit status of the program once the main loop ended.
  int exitStatus() const { return exitStatus_; }
  // The run given up at shutdown, which the program lets finish before it exits.
  std::shared_ptr<CWorkThread> abandonedRun() const { return abandoned_; }

  // Shows a box of the built-in tables; true when the answer was Retry.
  bool showBox(const FormBox& box);
  // Carries out a button's, key's or link's action.
  void perform(FormAction action);
  // vCloseApp: gives the run up, waits 300 ms, opens the closing page if there is one, and quits.
  void closeApp();
  // A close request posted to the window itself; it arrives at closeApp.
  void postClose();

private:
  struct Surfaces {
    const void* source = nullptr; // the first frame's pixels the surfaces were made from
    std::vector<cairo_surface_t*> frames;
  };
  struct Animation {
    const void* source = nullptr;
    std::size_t frame = 0;
    int loopsDone = 0;
    guint timer = 0;
  };

  static gboolean onDraw(GtkWidget*, cairo_t* cr, gpointer self);
  static gboolean onMotion(GtkWidget*, GdkEventMotion* event, gpointer self);
  static gboolean onPress(GtkWidget*, GdkEventButton* event, gpointer self);
  static gboolean onLeave(GtkWidget*, GdkEventCrossing* event, gpointer self);
  static gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer self);
  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
  static gboolean onFrameTimer(gpointer data);
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer self);
  static void onAdLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);

  // Brings widgets, timers, animations and the drawing up to date with the records.
  void refresh();
  void syncWidgets();
  void syncTimers();
  void syncAnimations();
  void showLoadFailures();
  void startAnimationTimer(const std::string& name, const Component& c);
  const std::vector<cairo_surface_t*>& surfacesOf(const Component& c);
  void restart();
  GtkWidget* newWebPanel();
  void navigate(GtkWidget* panel, const std::string& address);
  void syncPanel(GtkWidget* panel, const Component& c);
  void openUri(const std::string& uri);
  void openWebAddress(const std::string& utf8);
  void hover(const Component* c);
  // A point on the screen in the client area's coordinates.
  std::pair<int, int> clientPoint(double rootX, double rootY) const;

  FormModel& form_;
  RunController* controller_ = nullptr;
  GtkWidget* window_ = nullptr;
  GtkWidget* area_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  std::map<std::string, GtkWidget*> labels_;
  std::map<std::string, std::string> shownText_;
  GtkWidget* memoScroll_ = nullptr;
  GtkWidget* memoView_ = nullptr;
  WebKitWebContext* webContext_ = nullptr;
  GtkWidget* adPanel_ = nullptr;
  GtkWidget* infoPanel_ = nullptr;
  std::function<void()> openProcessorQuery_, closeProcessorQuery_;
  PageKind shownPage_ = PAGE_WAITING;
  std::map<std::string, Surfaces> surfaces_;
  std::map<std::string, Animation> animations_;
  std::string hovered_;
  guint executeTimer_ = 0;
  guint disableTimer_ = 0;
  bool closing_ = false;
  std::shared_ptr<CWorkThread> abandoned_;
  int exitStatus_ = 0;
};

} // namespace zelvo
