/*
** tamborix-cli: the command-line companion. Each step count has its own program
** (tamborix-cli-144, -128, -96, -72, built from the same sources as the four windowed
** programs); the front end tamborix-cli reads --steps and runs the matching one. Every
** command loads its FILE as the windowed program does at start, on the headless display.
** Commands return the process exit status; failures print one line on stderr.
*/
#ifndef TBX_CLI_H
#define TBX_CLI_H

int CliEvents(int argc, char** argv);  /* events [--count K] [--velocity V] [--mute M] FILE */
int CliRender(int argc, char** argv);  /* render [--seconds S] FILE OUT.wav */
int CliExport(int argc, char** argv);  /* export [--format gm|1] FILE OUT.mid */

#endif
