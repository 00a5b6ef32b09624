/*
** The settings file: what the program remembers between runs (the file dialogs' folders,
** the recent files, the MIDI ports by name, the synthesizer's soundfont and gain, and
** whatever else a subsystem keeps through this getter/setter API). Pattern settings are not
** kept here: they live in project files.
**
** The file is text, one "key=value" a line (a key is letters, digits, '.', '_' and '-'; a
** value is any text without a line end), lines starting with '#' are comments; it is
** rewritten whole through WriteWholeFile at each change, so it is never seen half written.
** A file that is not of that form (or over 64 KiB) is damaged: the program then starts with
** nothing remembered and says so with one line on stderr, and so it does once when the
** file cannot be written; neither ever stops the program.
**
** Window thread only.
*/
#ifndef TBX_FILES_PREFS_H
#define TBX_FILES_PREFS_H

#include <string>

/* Where the settings file lives: $XDG_CONFIG_HOME/tamborix/settings.conf, else
** $HOME/.config/tamborix/settings.conf, else %APPDATA%/Tamborix/settings.conf (Windows);
** "" when none of them is set. */
std::string PrefsDefaultPath(void);

/* Reads the settings file at `path` and keeps writing there; a missing file is an empty
** one. nullptr or "": nothing is read or written (the remembered values live in memory). */
void PrefsOpen(const char* path);
/* Forgets every value and the file (ResetAllState). */
void PrefsReset(void);

/* The value of a key, or nullptr when it has none. */
const char* PrefGet(const char* key);
/* The value as a decimal number, or `fallback` when it has none or is not a number. */
int PrefGetInt(const char* key, int fallback);
/* Gives a key a value (nullptr or "" removes the key) and writes the file when that
** changed anything. A value with a line end is refused (false), as is a key that is not of
** the form above. */
bool PrefSet(const char* key, const char* value);
bool PrefSetInt(const char* key, int value);
/* Holds the writes back while several values change together (nests): the file is written
** once, when the last hold is released. */
void PrefsHold(bool hold);
/* Writes the file now, held changes included, whether or not anything changed (a session's
** save: the file must be there afterwards); holds stay. False when it cannot be written. */
bool PrefsFlush(void);

#endif
