// A scripted host for tests: answers message boxes from a list and records
// everything shown or raised.
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
    std::string text;
    std::string title;
    int style;
  };

  // Answers to give, in order; when they run out, Yes/No boxes get No and
  // others OK.
  std::deque<int> answers;
  std::deque<std::string> folders;  // answers to BrowseForFolder
  std::vector<Box> boxes;
  std::vector<std::string> statuses;  // CurrentStatus texts
  std::vector<std::string> rebuild;   // RebuildStatus texts
  std::vector<std::string> browse_titles;
  int do_events = 0;
  std::function<void()> on_do_events;

  int MessageBox(const std::string& text, const std::string& title, int style) override {
    boxes.push_back({text, title.empty() ? kDefaultTitle : title, style});
    if (!answers.empty()) {
      int a = answers.front();
      answers.pop_front();
      return a;
    }
    return (style & 0x0F) == kMsgYesNo ? kAnswerNo : kAnswerOK;
  }
  void CurrentStatus(const std::string& s, int16_t) override { statuses.push_back(s); }
  void RebuildStatus(const std::string& s) override { rebuild.push_back(s); }
  void DoEvents() override {
    ++do_events;
    if (on_do_events) on_do_events();
  }
  std::string BrowseForFolder(const std::string& title) override {
    browse_titles.push_back(title);
    if (folders.empty()) return {};
    std::string f = folders.front();
    folders.pop_front();
    return f;
  }
};

}  // namespace cadenza

#endif  // CADENZA_TESTING_SCRIPTED_HOST_H_
