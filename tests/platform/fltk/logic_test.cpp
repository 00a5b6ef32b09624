// The FLTK display's arithmetic that needs no display: scroll bar parts and the requests a
// press makes, thumb dragging, the GDI line end, menu labels with their shortcut texts,
// Win32 file filters as FLTK patterns, default extensions, tab stops and the scale.
#include <gtest/gtest.h>

#include <FL/Enumerations.H>

#include "platform/fltk/logic.h"

// The main window's tempo bar: 16 x 128 pixels, range 0..466.
TEST(FltkScrollBar, PartsOfTheTempoBar) {
  ScrollGeometry g = ScrollLayout(16, 128, 0, 466, 0);
  EXPECT_EQ(g.arrow, 16);
  EXPECT_EQ(g.trackTop, 16);
  EXPECT_EQ(g.trackLen, 96);
  EXPECT_EQ(g.thumb, 16);
  EXPECT_EQ(g.thumbTop, 16);                                   // position 0: top of the track
  EXPECT_EQ(ScrollLayout(16, 128, 0, 466, 466).thumbTop, 96);  // last: touching the down arrow
  EXPECT_EQ(ScrollLayout(16, 128, 0, 466, 386).thumbTop, 16 + (386 * 80 + 233) / 466);
  // positions outside the range are drawn at its ends
  EXPECT_EQ(ScrollLayout(16, 128, 0, 466, 900).thumbTop, 96);
  EXPECT_EQ(ScrollLayout(16, 128, 18, 127, 0).thumbTop, 16);
}

TEST(FltkScrollBar, PressesRequestTheWin32Codes) {
  ScrollGeometry g = ScrollLayout(16, 128, 0, 466, 386);  // thumb at rows 82..97
  EXPECT_EQ(ScrollHitTest(g, 128, 0), SB_LINEUP);
  EXPECT_EQ(ScrollHitTest(g, 128, 15), SB_LINEUP);
  EXPECT_EQ(ScrollHitTest(g, 128, 16), SB_PAGEUP);
  EXPECT_EQ(ScrollHitTest(g, 128, g.thumbTop - 1), SB_PAGEUP);
  EXPECT_EQ(ScrollHitTest(g, 128, g.thumbTop), SB_THUMBTRACK);
  EXPECT_EQ(ScrollHitTest(g, 128, g.thumbTop + 15), SB_THUMBTRACK);
  EXPECT_EQ(ScrollHitTest(g, 128, g.thumbTop + 16), SB_PAGEDOWN);
  EXPECT_EQ(ScrollHitTest(g, 128, 111), SB_PAGEDOWN);
  EXPECT_EQ(ScrollHitTest(g, 128, 112), SB_LINEDOWN);
  EXPECT_EQ(ScrollHitTest(g, 128, 127), SB_LINEDOWN);
}

TEST(FltkScrollBar, DraggingTheThumbCoversTheWholeRange) {
  ScrollGeometry g = ScrollLayout(16, 128, 0, 466, 0);
  EXPECT_EQ(ScrollPosFromThumb(g, 0, 466, g.trackTop), 0);
  EXPECT_EQ(ScrollPosFromThumb(g, 0, 466, g.trackTop - 50), 0);       // dragged above the track
  EXPECT_EQ(ScrollPosFromThumb(g, 0, 466, g.trackTop + 80), 466);     // bottom of the travel
  EXPECT_EQ(ScrollPosFromThumb(g, 0, 466, g.trackTop + 500), 466);
  EXPECT_EQ(ScrollPosFromThumb(g, 18, 127, g.trackTop + 80), 127);    // velocity bar
  EXPECT_EQ(ScrollPosFromThumb(g, 18, 127, g.trackTop), 18);
  // every position the layout draws maps back to itself where one pixel is one position
  ScrollGeometry fine = ScrollLayout(16, 48 + 100, 0, 100, 0);
  for (int p = 0; p <= 100; p++) {
    ScrollGeometry at = ScrollLayout(16, 148, 0, 100, p);
    EXPECT_EQ(ScrollPosFromThumb(fine, 0, 100, at.thumbTop), p);
  }
}

TEST(FltkScrollBar, ShortBarsHaveNoThumb) {
  ScrollGeometry g = ScrollLayout(16, 40, 0, 10, 5);
  EXPECT_EQ(g.arrow, 16);
  EXPECT_EQ(g.thumb, 0);
  EXPECT_EQ(ScrollPosFromThumb(g, 0, 10, 30), 0);
  ScrollGeometry tiny = ScrollLayout(16, 20, 0, 10, 5);
  EXPECT_EQ(tiny.arrow, 10);
  EXPECT_EQ(tiny.trackLen, 0);
  EXPECT_EQ(ScrollHitTest(tiny, 20, 9), SB_LINEUP);
  EXPECT_EQ(ScrollHitTest(tiny, 20, 10), SB_LINEDOWN);
}

TEST(FltkGdi, LinesStopOnePixelBeforeTheirEnd) {
  int x, y;
  LineLastPixel(10, 5, 200, 5, &x, &y);  // a leader of the percussion names
  EXPECT_EQ(x, 199);
  EXPECT_EQ(y, 5);
  LineLastPixel(0, 0, 0, -8, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, -7);
  LineLastPixel(0, 0, 10, 5, &x, &y);
  EXPECT_EQ(x, 9);
  EXPECT_EQ(y, 5);  // 4.5 rounds away from the start, like the Bresenham step it ends on
  LineLastPixel(3, 3, 4, 4, &x, &y);
  EXPECT_EQ(x, 3);
  EXPECT_EQ(y, 3);
}

TEST(FltkMenu, LabelsSplitAtTheTab) {
  std::string label, text;
  int sc;
  SplitMenuLabel("New File\tCtrl+N", &label, &sc, &text);
  EXPECT_EQ(label, "New File");
  EXPECT_EQ(text, "Ctrl+N");
  EXPECT_EQ(sc, FL_CTRL | 'n');
  SplitMenuLabel("&Loop File / MIDI IN undo\tCtrl+U", &label, &sc, &text);
  EXPECT_EQ(label, "&Loop File / MIDI IN undo");  // '/' stays text: no submenu paths here
  EXPECT_EQ(sc, FL_CTRL | 'u');
  SplitMenuLabel("Load / Play / Edit File", &label, &sc, &text);
  EXPECT_EQ(label, "Load / Play / Edit File");
  EXPECT_EQ(sc, 0);
  EXPECT_EQ(text, "");
  SplitMenuLabel("Next\tShift+F5", &label, &sc, &text);
  EXPECT_EQ(sc, FL_SHIFT | (FL_F + 5));
  SplitMenuLabel("Odd\tsoon", &label, &sc, &text);  // not a key: shown as text
  EXPECT_EQ(sc, 0);
  EXPECT_EQ(text, "soon");
}

TEST(FltkFileDialog, FiltersMatchRegardlessOfCase) {
  EXPECT_EQ(FlPattern("*.tbx"), "*.[Tt][Bb][Xx]");
  EXPECT_EQ(FlPattern("*.*"), "*");  // every file, with or without a dot
  EXPECT_EQ(FlPattern("*.mid;*.midi"), "{*.[Mm][Ii][Dd],*.[Mm][Ii][Dd][Ii]}");
  EXPECT_EQ(FlPattern(""), "*");
  EXPECT_EQ(FlFilter({{"Text Files (*.TXT)", "*.txt"}, {"All Files (*.*)", "*.*"}}),
            "Text Files (*.[Tt][Xx][Tt])\tAll Files (*)");
  EXPECT_EQ(FlFilter({{"MIDI Files", "*.mid"}}), "MIDI Files (*.[Mm][Ii][Dd])");
}

TEST(FltkFileDialog, DefaultExtensionAndTitle) {
  EXPECT_EQ(ApplyDefaultExtension("/tmp/song", "tbx"), "/tmp/song.tbx");
  EXPECT_EQ(ApplyDefaultExtension("/tmp/song.TBX", "tbx"), "/tmp/song.TBX");
  EXPECT_EQ(ApplyDefaultExtension("/tmp/v1.2/song", "mid"), "/tmp/v1.2/song.mid");  // the folder's dot
  EXPECT_EQ(ApplyDefaultExtension("/tmp/song", ""), "/tmp/song");
  EXPECT_EQ(PathTitle("/home/u/My Songs/intro.tbx"), "intro.tbx");
  EXPECT_EQ(PathTitle("C:\\music\\intro.tbx"), "intro.tbx");
  EXPECT_EQ(PathTitle("intro.tbx"), "intro.tbx");
}

static int SixPixels(const char*, int n) { return 6 * n; }

TEST(FltkText, TabsAlignColumnsOfTheKeyHelp) {
  // Lines of different first-column widths reach the same stop.
  auto a = ExpandTabs("'3':Minor\t\t\t'4':Major ", 64, SixPixels);   // 54 px, three tabs
  auto b = ExpandTabs("'8':MinorSept\t\t'9':MajorSept ", 64, SixPixels);  // 78 px, two
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(a[0].x, 0);
  EXPECT_EQ(a[1].x, 192);
  EXPECT_EQ(b[1].x, 192);
  EXPECT_EQ(a[1].text, "'4':Major ");
  auto none = ExpandTabs("plain", 64, SixPixels);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0].text, "plain");
  EXPECT_TRUE(ExpandTabs("", 64, SixPixels).empty());
}

TEST(FltkDrop, LocalFilesOfAUriList) {
  const struct {
    const char* text;
    std::vector<std::string> paths;
  } cases[] = {
      {"file:///home/u/My%20Songs/a.tbx\r\nfile:///home/u/list.txt\r\n", {"/home/u/My Songs/a.tbx", "/home/u/list.txt"}},
      {"file://localhost/tmp/b.TBX\n", {"/tmp/b.TBX"}},
      {"# a comment\nhttp://example.org/a.tbx\nfile://otherhost/a.tbx\nfile:///x%00y\n", {}},
      {"/tmp/plain path.tbx", {"/tmp/plain path.tbx"}},
      {"file:///a%2", {"/a%2"}},
      {"file:///%C3%A4.tbx", {"/\xC3\xA4.tbx"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(DroppedFiles(c.text), c.paths) << c.text;
}

// TAMBORIX_SCALE chooses any quarter from 1 to 2; otherwise the screen's dpi / 96, rounded
// down to a quarter and kept within 1..2, with the dpi X reports a hair off its round value.
TEST(FltkScale, ForcedOrFromTheScreensResolution) {
  struct {
    const char* forced;
    double dpi;
    int quarters;
    bool refused;
  } cases[] = {
      {nullptr, 96, 4, false},   {"", 96, 4, false},        {nullptr, 119.4, 4, false},
      {nullptr, 120, 5, false},  {nullptr, 143.99, 6, false}, {nullptr, 143.4, 5, false},
      {nullptr, 168, 7, false},  {nullptr, 191, 7, false},   {nullptr, 192, 8, false},
      {nullptr, 400, 8, false},  {nullptr, 72, 4, false},    {nullptr, 0, 4, false},
      {"1", 192, 4, false},      {"1.25", 96, 5, false},     {"1.5", 96, 6, false},
      {"1.75", 96, 7, false},    {"2", 96, 8, false},        {"2.0", 96, 8, false},
      {"1.3", 120, 5, true},     {"3", 96, 4, true},         {"0.75", 96, 4, true},
      {"1,5", 192, 8, true},     {"2x", 96, 4, true},        {"big", 144, 6, true},
  };
  for (const auto& c : cases) {
    bool refused = !c.refused;
    EXPECT_EQ(ScaleQuarters(c.forced, c.dpi, &refused), c.quarters) << (c.forced ? c.forced : "unset") << " " << c.dpi;
    EXPECT_EQ(refused, c.refused) << (c.forced ? c.forced : "unset");
  }
}
