// A scripted host for tests: answers message boxes and folder browsers from
// lists and records everything shown or raised.
#ifndef CADENZA_TESTING_SCRIPTED_HOST_H_
#define CADENZA_TESTING_SCRIPTED_HOST_H_

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "cadenza/host.h"

namespace cadenza {

class ScriptedHost : public Host {
 public:
  struct Box {
    std::string text, title;
    int style;
  };

  // Answers to give, in order; when they run out, Yes/No boxes get No and
  // others OK, folder browsers nothing.
  std::deque<int> answers;
  std::deque<std::string> folders;
  std::vector<Box> boxes;
  // The texts of CurrentStatus and RebuildStatus, the folder browsers' titles.
  std::vector<std::string> statuses, rebuild, browse_titles;
  std::function<void()> on_do_events;

  int MessageBox(const std::string& text, const std::string& title, int style) override {
    boxes.push_back({text, title.empty() ? kDefaultTitle : title, style});
    return Next<int>(answers, (style & 0x0F) == kMsgYesNo ? kAnswerNo : kAnswerOK);
  }
  void CurrentStatus(const std::string& s, int16_t) override { statuses.push_back(s); }
  void RebuildStatus(const std::string& s) override { rebuild.push_back(s); }
  void DoEvents() override {
    if (on_do_events) on_do_events();
  }
  std::string BrowseForFolder(const std::string& title) override {
    browse_titles.push_back(title);
    return Next(folders, std::string());
  }

 private:
  template <typename T>
  static T Next(std::deque<T>& q, T otherwise) {
    if (q.empty()) return otherwise;
    T v = std::move(q.front());
    q.pop_front();
    return v;
  }
};

}  // namespace cadenza

#endif  // CADENZA_TESTING_SCRIPTED_HOST_H_
