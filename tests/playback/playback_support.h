// Helpers of the playback suites: a window with a pattern to play, the messages sent to the
// capture output, and the play-position steps the clock posted.
#ifndef TBX_TESTS_PLAYBACK_SUPPORT_H
#define TBX_TESTS_PLAYBACK_SUPPORT_H

#include <cstdint>
#include <vector>

#include "app/app.h"
#include "pattern/pattern.h"
#include "platform/testing.h"
#include "playback/playback.h"
#include "tests/support.h"

inline DWORD NoteOnMsg(int ch, int note, int vel) { return DWORD(0x90 | ch) | DWORD(note) << 8 | DWORD(vel) << 16; }
inline DWORD NoteOffMsg(int ch, int note) { return DWORD(0x80 | ch) | DWORD(note) << 8; }
inline DWORD ControlMsg(int ch, int cc, int v) { return DWORD(0xB0 | ch) | DWORD(cc) << 8 | DWORD(v) << 16; }

class PlayTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    tbxtest::PumpMessages();
    tbxtest::ClearCapturedMidi();
  }
  void TearDown() override {
    TambroEndSequence();
    WindowTest::TearDown();
  }
  void Command(UINT id) {
    SendMessageA(hwnd, WM_COMMAND, id, 0);
  }
  // Messages captured since the last call (and forgets them).
  std::vector<DWORD> Take() {
    std::vector<DWORD> out;
    for (const auto& r : tbxtest::CapturedMidi()) out.push_back(r.message);
    tbxtest::ClearCapturedMidi();
    return out;
  }
  // Advances the clock, collecting the play positions posted, then dispatches the queue.
  std::vector<int> Advance(uint32_t ms) {
    std::vector<int> steps;
    for (uint32_t t = 0; t < ms; ++t) {
      tbxtest::AdvanceClock(1);
      for (const MSG& m : tbxtest::PostedMessages())
        if (m.message == WM_TBX_PLAYPOS) steps.push_back(int(m.wParam));
      tbxtest::PumpMessages();
    }
    return steps;
  }
  // Note-ons only, in order.
  static std::vector<DWORD> NoteOns(const std::vector<DWORD>& msgs) {
    std::vector<DWORD> out;
    for (DWORD m : msgs)
      if ((m & 0xF0) == 0x90) out.push_back(m);
    return out;
  }
  static UINT Checked(UINT id) { return GetMenuState(ghMenu, id, MF_BYCOMMAND) & MF_CHECKED; }
};

#endif
