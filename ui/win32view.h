#pragma once
// The Windows window of the speed test, the GTK view's sibling over the same form records: draws the
// image components from premultiplied DIB sections into a back buffer, carries the real controls
// (static labels, the read-only memo, the two web panels), turns mouse and key messages into the
// model's handlers and performs what the model and the engine's messages leave for the view (boxes,
// timers, shell opens, shutdown). Everything here runs on the window thread, whose message loop is the
// main-loop stand-in's.

#include "frontend/runcontroller.h"
#include "platform/mainloop.h"
#include "ui/mainform.h"
#include "ui/win32webpanel.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zelvo {

class Win32FormView : public Presenter {
public:
  explicit Win32FormView(FormModel& form, std::shared_ptr<platform::MainLoop> loop);
  ~Win32FormView() override;
  Win32FormView(const Win32FormView&) = delete;
  Win32FormView& operator=(const Win32FormView&) = delete;

  void attach(RunController& controller) { controller_ = &controller; }
  void setProcessorQuery(std::function<void()> open, std::function<void()> close) {
    openProcessorQuery_ = std::move(open);
    closeProcessorQuery_ = std::move(close);
  }
  HWND window() const { return window_; }
  // Start-up once the loop runs: the settings file, the adapter check and the first run.
  void start(const std::string& appVersion, const std::string& settingsFile);
  void present(const EngineMessage& message) override;
  int exitStatus() const { return exitStatus_; }
  std::shared_ptr<CWorkThread> abandonedRun() const { return abandoned_; }
  // Brings the window to the front (a second copy asked for it).
  void bringForward();

  bool showBox(const FormBox& box);
  void perform(FormAction action);
  void closeApp();
  void postClose();

  // For tests: the panels, and a trace of what the view did with them (ZELVO_WINDOW_TRACE).
  Win32WebPanel* advertPanel() const { return adPanel_.get(); }
  Win32WebPanel* infoPanel() const { return infoPanel_.get(); }

private:
  struct Frames {
    const void* source = nullptr;
    bool alpha = false;
    std::vector<HBITMAP> bitmaps;
  };
  struct Animation {
    const void* source = nullptr;
    std::size_t frame = 0;
    int loopsDone = 0;
    UINT_PTR timer = 0;
  };

  static LRESULT CALLBACK windowProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK keyPreview(int code, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

  void refresh();
  void syncWidgets();
  void syncTimers();
  void syncAnimations();
  void showLoadFailures();
  void compose();
  const Frames& framesOf(const Component& c);
  void freeFrames(Frames& frames);
  void restart();
  void guarded(const std::function<void()>& step);
  void showException(const char* what);
  void openUri(const std::string& cp950, int show);
  void openWide(const std::wstring& address, int show);
  void hover(const Component* c);
  void onMouseDown(int x, int y);
  void onLeftUp(int x, int y);
  void onAdvertComplete();
  void onTimer(UINT_PTR id);
  void onAnimationTick(const std::string& name);
  void ensurePanels();
  void trace(const std::string& line);

  FormModel& form_;
  std::shared_ptr<platform::MainLoop> loop_;
  RunController* controller_ = nullptr;
  HWND window_ = nullptr;
  HDC backDc_ = nullptr;
  HBITMAP backBitmap_ = nullptr;
  HGDIOBJ backOld_ = nullptr;
  HHOOK keyHook_ = nullptr;
  std::map<std::string, HWND> labels_;
  std::map<std::string, HFONT> fonts_;
  std::map<std::string, std::string> shownText_;
  HWND memo_ = nullptr;
  HFONT memoFont_ = nullptr;
  HBRUSH white_ = nullptr;
  std::unique_ptr<Win32WebPanel> adPanel_, infoPanel_;
  std::function<void()> openProcessorQuery_, closeProcessorQuery_;
  PageKind shownPage_ = PAGE_WAITING;
  std::map<std::string, Frames> frames_;
  std::map<std::string, Animation> animations_;
  std::map<UINT_PTR, std::string> animationTimers_;
  UINT_PTR nextTimer_ = 100;
  std::string hovered_;
  std::string pressedLeft_; // the component the left button went down on (a click is down and up there)
  bool tracking_ = false;
  bool executeTimer_ = false;
  bool disableTimer_ = false;
  bool closing_ = false;
  std::shared_ptr<CWorkThread> abandoned_;
  int exitStatus_ = 0;
  std::FILE* trace_ = nullptr;
};

} // namespace zelvo
