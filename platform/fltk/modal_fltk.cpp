/*
** The modal user interface of the FLTK display: message boxes (MessageBoxA), beeps, the
** open and save file dialogs (GetOpenFileNameA/GetSaveFileNameA through Fl_File_Chooser)
** and the loop of modal dialogs built from templates (DialogBoxParamA). Every one of them
** is a modal FLTK window and runs RunModalLoop, which keeps dispatching the program's
** messages and the other threads' requests while the user decides, as Windows does.
*/
#include <FL/Fl_Button.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_File_Input.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>

#include <sys/stat.h>
#include <dirent.h>
#include <strings.h>

#include <algorithm>

#include "platform/fltk/fltk_internal.h"

/* ---------------------------------------------------------------- message boxes */

namespace {

/* Gives the keyboard back, when a box or dialog goes away, to the widget that had it (an
** edit field of a dialog the box was shown over), else to the owner's client area. */
class FocusKeeper {
 public:
  explicit FocusKeeper(HWND owner) : before_(Fl::focus()), owner_(owner) {}
  void Restore() {
    Fl_Widget* w = before_.deleted() ? nullptr : before_.widget();
    if (w && w->top_window() && w->top_window()->visible()) GiveFocus(w);
    else FocusOwner(owner_);
  }

 private:
  Fl_Widget_Tracker before_;
  HWND owner_;
};

struct BoxButton {
  const char* label;
  int id;
};

/* The buttons of an MB_TYPE, left to right. */
std::vector<BoxButton> BoxButtons(UINT type) {
  switch (type) {
    case MB_OKCANCEL: return {{"OK", IDOK}, {"Cancel", IDCANCEL}};
    case MB_ABORTRETRYIGNORE: return {{"&Abort", IDABORT}, {"&Retry", IDRETRY}, {"&Ignore", IDIGNORE}};
    case MB_YESNOCANCEL: return {{"&Yes", IDYES}, {"&No", IDNO}, {"Cancel", IDCANCEL}};
    case MB_YESNO: return {{"&Yes", IDYES}, {"&No", IDNO}};
    case MB_RETRYCANCEL: return {{"&Retry", IDRETRY}, {"Cancel", IDCANCEL}};
    default: return {{"OK", IDOK}};
  }
}

/* What Escape and the close box answer: Cancel when there is one, OK for a box with only
** OK; a Yes/No or Abort/Retry/Ignore box cannot be dismissed that way (0). */
int EscapeAnswer(UINT type) {
  switch (type) {
    case MB_OK: return IDOK;
    case MB_OKCANCEL:
    case MB_YESNOCANCEL:
    case MB_RETRYCANCEL: return IDCANCEL;
    default: return 0;
  }
}

struct BoxState {
  int answer = 0;
  UINT type = 0;
};

void BoxButtonPressed(Fl_Widget* w, void* data) {
  auto* state = (BoxState*)w->window()->user_data();
  state->answer = (int)(intptr_t)data;
}

void BoxClosed(Fl_Widget* w, void*) {
  auto* state = (BoxState*)w->user_data();
  int a = EscapeAnswer(state->type);
  if (a) state->answer = a;
}

bool BoxAnswered(void* arg) { return ((BoxState*)arg)->answer != 0; }

/* The text of a box: drawn without FLTK's '@' symbols and '&' underlines. */
class BoxText : public Fl_Widget {
 public:
  BoxText(int x, int y, int w, int h, std::string t) : Fl_Widget(x, y, w, h), text(std::move(t)) {}
  std::string text;

 protected:
  void draw() override {
    fl_color(FL_BLACK);
    DrawTextLines(text, x(), y(), w(), h(), FL_ALIGN_LEFT, true);
  }
};

/* Centres a w x h window over the owner's window, or on the screen, and keeps it there. */
void PlaceOver(Fl_Window* win, HWND owner) {
  int sx, sy, sw, sh;
  Fl::screen_xywh(sx, sy, sw, sh);
  int cx = sx + sw / 2, cy = sy + sh / 2;
  FlEntry* e = owner ? TopEntry(owner) : nullptr;
  if (e && e->window && e->window->shown()) {
    cx = e->window->x() + e->window->w() / 2;
    cy = e->window->y() + e->window->h() / 2;
  }
  int x = std::clamp(cx - win->w() / 2, sx, std::max(sx, sx + sw - win->w()));
  int y = std::clamp(cy - win->h() / 2, sy, std::max(sy, sy + sh - win->h()));
  win->position(x, y);
}

}  // namespace

int DisplayMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags) {
  EnsureDisplay();
  UINT type = flags & MB_TYPEMASK;
  UINT icon = flags & MB_ICONMASK;
  std::vector<BoxButton> buttons = BoxButtons(type);
  int def = std::min<int>((int)((flags & MB_DEFMASK) >> 8), (int)buttons.size() - 1);

  /* layout: icon at the left, the text beside it, the buttons centred below */
  const int margin = DisplayScaled(12), iconSize = DisplayScaled(32), bw = DisplayScaled(75), bh = DisplayScaled(24),
            gap = DisplayScaled(8);
  std::string utf8 = ToUtf8(text);
  SetFont();
  int sx, sy, sw, sh;
  Fl::screen_xywh(sx, sy, sw, sh);
  int maxText = std::max(DisplayScaled(200), sw * 5 / 8 - 3 * margin - iconSize);
  int textW = 0;
  std::vector<std::string> lines = WrapText(utf8, maxText);
  for (const std::string& l : lines) {
    int lw = 0;
    for (const TextPiece& p : ExpandTabs(l, TabStop(), [](const char* s, int n) { return (int)(fl_width(s, n) + 0.5); }))
      lw = std::max(lw, p.x + (int)(fl_width(p.text.c_str(), (int)p.text.size()) + 0.5));
    textW = std::max(textW, lw);
  }
  int textH = (int)lines.size() * CellHeight();
  int textX = margin + (icon ? iconSize + margin : 0);
  int buttonsW = (int)buttons.size() * bw + ((int)buttons.size() - 1) * gap;
  int W = std::max(textX + textW + margin + 2, buttonsW + 2 * margin);
  W = std::max(W, DisplayScaled(160));
  int bodyH = std::max(textH, icon ? iconSize : 0);
  int H = margin + bodyH + margin + bh + margin;

  BoxState state;
  state.type = type;
  FocusKeeper keeper(owner);
  Fl_Group* saved = Fl_Group::current();
  Fl_Group::current(nullptr);
  auto* win = new Fl_Double_Window(W, H);
  win->copy_label(ToUtf8(caption).c_str());
  win->user_data(&state);
  win->callback(BoxClosed, &state);
  if (icon) CreateIconWidget(margin, margin, iconSize, iconSize, icon);
  new BoxText(textX, margin + (bodyH - textH) / 2, W - textX - margin, textH, utf8);
  int bx = (W - buttonsW) / 2;
  Fl_Widget* focus = nullptr;
  for (size_t i = 0; i < buttons.size(); i++) {
    Fl_Button* b = (int)i == def ? new Fl_Return_Button(bx, H - margin - bh, bw, bh)
                                 : new Fl_Button(bx, H - margin - bh, bw, bh);
    b->label(buttons[i].label);
    b->labelsize(FontSize());
    b->callback(BoxButtonPressed, (void*)(intptr_t)buttons[i].id);
    if ((int)i == def) focus = b;
    bx += bw + gap;
  }
  win->end();
  Fl_Group::current(saved);
  win->set_modal();
  PlaceOver(win, owner);
  win->show();
  win->wait_for_expose();
  if (focus) GiveFocus(focus);

  if (!RunModalLoop(nullptr, BoxAnswered, &state)) {
    /* the program is quitting: the box goes away with the answer Escape would give */
    state.answer = EscapeAnswer(type);
    if (!state.answer) state.answer = buttons.back().id;
  }
  win->hide();
  Fl::delete_widget(win);
  keeper.Restore();
  return state.answer;
}

void DisplayBeep(UINT type) {
  EnsureDisplay();
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND: fl_beep(FL_BEEP_ERROR); break;
    case MB_ICONQUESTION: fl_beep(FL_BEEP_QUESTION); break;
    case MB_ICONEXCLAMATION: fl_beep(FL_BEEP_MESSAGE); break;
    case MB_ICONASTERISK: fl_beep(FL_BEEP_NOTIFICATION); break;
    default: fl_beep(FL_BEEP_DEFAULT); break;
  }
}

/* ---------------------------------------------------------------- file dialogs */

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

/* Whether the file exists, its last component compared without regard to case as the
** file layer opens it ("intro.TBX" is intro.tbx). */
bool FileExists(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return !S_ISDIR(st.st_mode);
  std::string name = PathTitle(path);
  DIR* dir = opendir(DirName(path).c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* d = readdir(dir)) {
    if (strcasecmp(d->d_name, name.c_str()) == 0) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

/* Fl_File_Chooser completes what is typed into its name field against its folder, and
** mangles a name typed over the selected path ("song" becomes ".../cwd/g.../n..."): a
** relative name is turned into a path in the shown folder before the chooser sees it. */
struct NameFieldFix {
  Fl_File_Chooser* chooser;
  Fl_Callback* original;
  void* originalData;
};

void FixedNameCallback(Fl_Widget* w, void* data) {
  auto* fix = (NameFieldFix*)data;
  auto* in = (Fl_Input*)w;
  std::string v = in->value();
  if (!v.empty() && v[0] != '/' && v[0] != '~' && v[0] != '$') {
    std::string dir = fix->chooser->directory() ? fix->chooser->directory() : ".";
    if (dir.empty() || dir.back() != '/') dir += '/';
    int pos = in->position() + (int)dir.size();
    in->value((dir + v).c_str());
    in->position(pos);
  }
  fix->original(w, fix->originalData);
}

Fl_File_Input* FindNameField(Fl_Group* g) {
  for (int i = 0; i < g->children(); i++) {
    if (auto* in = dynamic_cast<Fl_File_Input*>(g->child(i))) return in;
    if (Fl_Group* sub = g->child(i)->as_group())
      if (Fl_File_Input* in = FindNameField(sub)) return in;
  }
  return nullptr;
}

bool ChooserClosed(void* arg) { return !((Fl_File_Chooser*)arg)->shown(); }

/* Every widget of a window laid out in pixels of a 96-dpi screen (the file chooser's) at the
** display's scale, each edge on its own scaled pixel, so that nothing overlaps or is cut off
** where it did not at scale 1. Resizing the window only grows its resizable widget. */
void ScaleLayout(Fl_Window* win) {
  struct Box {
    Fl_Widget* w;
    int x, y, r, b;
  };
  std::vector<Box> boxes;
  std::vector<Fl_Group*> groups{win};
  while (!groups.empty()) {
    Fl_Group* g = groups.back();
    groups.pop_back();
    for (int i = 0; i < g->children(); i++) {
      Fl_Widget* c = g->child(i);
      boxes.push_back(Box{c, c->x(), c->y(), c->x() + c->w(), c->y() + c->h()});
      if (Fl_Group* sub = c->as_group(); sub && !c->as_window()) groups.push_back(sub);
    }
  }
  win->size(DisplayScaled(win->w()), DisplayScaled(win->h()));
  for (const Box& b : boxes) {
    const int x = DisplayScaled(b.x), y = DisplayScaled(b.y);
    b.w->resize(x, y, DisplayScaled(b.r) - x, DisplayScaled(b.b) - y);
    b.w->labelsize(FontSize());
  }
  win->init_sizes();
}

/* Asks through a message box owned by the dialog's owner; true for Yes. */
bool AskYes(HWND owner, const std::string& text, const std::string& caption, UINT icon) {
  return DisplayMessageBox(owner, text, caption, MB_YESNO | icon) == IDYES;
}

}  // namespace

bool DisplayFileDialog(const FileDialogRequest& request, std::string* path) {
  EnsureDisplay();
  std::string caption = !request.title.empty() ? request.title : request.save ? "Save As" : "Open";
  std::string start = request.initialFile;
  if (!start.empty() && start.find('/') == std::string::npos && !request.initialDir.empty())
    start = request.initialDir + "/" + start;
  if (start.empty()) start = request.initialDir.empty() ? "." : request.initialDir;

  std::string filter = FlFilter(request.filters);
  /* CREATE lets the user type a name that does not exist yet; the flags decide below
  ** whether that is accepted. */
  int type = (!request.save && (request.flags & OFN_FILEMUSTEXIST)) ? Fl_File_Chooser::SINGLE
                                                                      : Fl_File_Chooser::CREATE;
  std::string title8 = ToUtf8(caption); /* the chooser keeps the pointer, not the text */
  Fl_File_Chooser chooser(start.c_str(), filter.c_str(), type, title8.c_str());
  FocusKeeper keeper(request.owner);
  NameFieldFix fix{&chooser, nullptr, nullptr};
  Fl_File_Input* nameField = chooser.newButton->window() ? FindNameField(chooser.newButton->window()) : nullptr;
  if (nameField && nameField->callback()) {
    fix.original = nameField->callback();
    fix.originalData = nameField->user_data();
    nameField->callback(FixedNameCallback, &fix);
  }
  chooser.preview(0);
  if (Fl_Window* win = chooser.newButton->window(); win && DisplayQuarters() > 4) {
    ScaleLayout(win);
    chooser.textsize(FontSize());
  }
  if (request.filterIndex > 0 && request.filterIndex <= (int)request.filters.size())
    chooser.filter_value(request.filterIndex - 1);
  if (!request.initialFile.empty() && !IsDirectory(start)) chooser.value(start.c_str());

  for (;;) {
    chooser.show();
    if (!RunModalLoop(nullptr, ChooserClosed, &chooser)) {
      chooser.hide();
      keeper.Restore();
      return false;
    }
    const char* picked = chooser.value();
    if (!picked || !*picked) {
      keeper.Restore();
      return false;
    }
    std::string chosen = ApplyDefaultExtension(picked, request.defExt);
    if (IsDirectory(chosen)) {
      chooser.directory(chosen.c_str());
      continue;
    }
    std::string title = PathTitle(chosen);
    bool exists = FileExists(chosen);
    if ((request.flags & OFN_PATHMUSTEXIST) && !IsDirectory(DirName(chosen))) {
      DisplayMessageBox(request.owner, chosen + "\nPath does not exist.\nCheck the path and try again.",
                        caption, MB_OK | MB_ICONEXCLAMATION);
      continue;
    }
    if (request.save && (request.flags & OFN_OVERWRITEPROMPT) && exists &&
        !AskYes(request.owner, title + " already exists.\nDo you want to replace it?", caption,
                MB_ICONEXCLAMATION))
      continue;
    if (!request.save && !exists && (request.flags & OFN_FILEMUSTEXIST)) {
      DisplayMessageBox(request.owner, title + "\nFile not found.\nCheck the file name and try again.",
                        caption, MB_OK | MB_ICONEXCLAMATION);
      continue;
    }
    if (!exists && (request.flags & OFN_CREATEPROMPT) &&
        !AskYes(request.owner, title + "\nThis file does not exist.\nDo you want to create it?", caption,
                MB_ICONQUESTION))
      continue;
    *path = chosen;
    keeper.Restore();
    return true;
  }
}

/* ---------------------------------------------------------------- modal dialogs */

void DisplayRunDialog(HWND dlg, const std::string&) {
  EnsureDisplay();
  FlEntry* e = FindEntry(dlg);
  if (!e || !e->window) {
    EndDialog(dlg, IDCANCEL);
    return;
  }
  WindowInfo info;
  FocusKeeper keeper(CoreWindowInfo(dlg, &info) ? info.owner : nullptr);
  e->window->set_modal();
  e->window->show();
  e->window->wait_for_expose();
  /* focus as the dialog manager gives it: the first edit field, its text selected, else
  ** the default button */
  for (int i = 0; i < e->client->children(); i++) {
    Fl_Widget* w = e->client->child(i);
    if (dynamic_cast<Fl_Input*>(w)) {
      GiveFocus(w);
      auto* in = (Fl_Input*)w;
      in->position(in->size(), 0);
      break;
    }
    if (dynamic_cast<Fl_Return_Button*>(w)) GiveFocus(w);
  }
  CoreModalLoop(dlg); /* until EndDialog, the dialog's destruction or WM_QUIT */
  if ((e = FindEntry(dlg)) != nullptr) e->window->hide();
  keeper.Restore();
}
