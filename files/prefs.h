/*
** The settings file: what the program remembers between runs (the file dialogs' folders,
** the recent files, the MIDI ports by name, the synthesizer's soundfont and gain, and
** whatever else a subsystem keeps through this getter/setter API). Pattern settings are not
** kept here: they live in project files.
**
** The file is text, one "key=value" a line (a key is letters, digits, '.', '_' and '-'; a
** value is any text, escaped in double quotes when it holds a control character), lines
** starting with '#' are comments. At each change the file is read again and only the lines
** of the keys this run changed are rewritten, so a second program using the same file keeps
** its own changes; the new text replaces the file through WriteWholeFile, so it is never
** seen half written. Lines that are not of that form are left out of what is read and kept
** in the file, with one line on stderr. A file that is no settings file at all (binary, or
** over 64 KiB) gives the defaults and is left as it is, as is a symbolic link to a file the
** program did not write; a file that cannot be written is said so once on stderr. None of
** it ever stops the program.
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
/* Reads the file again, so that what another program wrote meanwhile is seen, with this
** run's changes that are not written yet kept over it. Before a value that both may change
** is computed from what it is now (the recent files). */
void PrefsRefresh(void);

/* The value of a key, or nullptr when it has none. */
const char* PrefGet(const char* key);
/* The value as a decimal number, or `fallback` when it has none or is not a number. */
int PrefGetInt(const char* key, int fallback);
/* Gives a key a value (nullptr or "" removes the key) and writes the file when that
** changed anything. A key that is not of the form above is refused (false). */
bool PrefSet(const char* key, const char* value);
bool PrefSetInt(const char* key, int value);
/* Holds the writes back while several values change together (nests): the file is written
** once, when the last hold is released. */
void PrefsHold(bool hold);
/* Writes the file now, held changes included, whether or not anything changed (a session's
** save: the file must be there afterwards); holds stay. False when it cannot be written. */
bool PrefsFlush(void);

#endif
