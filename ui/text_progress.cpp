#include "ui/text_progress.h"

#include <array>
#include <cstdio>

#include "constants.h"
#include "platform/console.h"
#include "platform/encoding.h"
#include "ui/label_text.h"
#include "ui/text_progress_state.h"

namespace solvane::text_progress {

Labels& State() {
  static Labels labels;
  return labels;
}

namespace {

bool InRange(int index) { return index >= 0 && index < kStepCount; }

void EndProgressLine() {
  if (!State().progress_line_open) return;
  std::fputc('\n', stderr);
  State().progress_line_open = false;
}

void PrintLabel(int index) {
  EndProgressLine();
  std::fprintf(stderr, "%s\n", EncodeUtf8(State().text[index]).c_str());
  std::fflush(stderr);
}

}  // namespace

void Start() {
  for (int i = 0; i < kStepCount; ++i) {
    State().text[i] = InitialStepText(i);
    State().done[i] = false;
  }
  std::fprintf(stderr, "%s\n", kWindowTitle);
}

void MarkStepActive(int index) {
  if (!InRange(index)) return;
  State().text[index] = AppendSuffix(State().text[index], kActiveSuffix);
  PrintLabel(index);
}

void MarkStepDone(int index) {
  if (!InRange(index)) return;
  State().done[index] = true;
  State().text[index] = AppendSuffix(State().text[index], kDoneSuffix);
  PrintLabel(index);
}

void SetStepText(int index, const std::u16string& text) {
  if (!InRange(index)) return;
  State().text[index] = text;
}

void SetProgress(int percent) {
  if (!StderrIsTerminal()) return;
  // Shown like the bar: values outside 0-100 sit at its ends.
  const int shown = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  char bar[41];
  for (int i = 0; i < 40; ++i) bar[i] = i < shown * 40 / 100 ? '#' : '-';
  bar[40] = '\0';
  std::fprintf(stderr, "\r  [%s] %3d%%", bar, shown);
  std::fflush(stderr);
  State().progress_line_open = true;
}

void ShowError(const char* text) {
  EndProgressLine();
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
}

void Finish() { EndProgressLine(); }

}  // namespace solvane::text_progress
