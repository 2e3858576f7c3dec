// The kit's own files as the wizard reads them: the version in config.xml
// and the platform list of upgrade.ini. Each reader takes the file's bytes
// as they are on disk; kit_text() is the one place where those bytes
// become the text that is searched.
#ifndef GATEWAY_CONTRACT_KITMETA_H
#define GATEWAY_CONTRACT_KITMETA_H

#include <stddef.h>

#include "version.h"

#ifdef __cplusplus
extern "C" {
#endif

// config.xml and upgrade.ini are a few lines; a bigger file is no kit file.
#define GWC_KIT_TEXT_MAX (1L << 20)
// After "config version", the quotes are looked for within this many characters.
#define GWC_QUOTE_WINDOW 200
// upgrade.ini: at most this many platforms are read, each of at most
// GWC_PLATFORM_MAX characters.
#define GWC_PLATFORMS_MAX 101
#define GWC_PLATFORM_MAX 29

// The version in config.xml: in the first line that holds "config version"
// (in any case), the text between the next two double quotes, each looked
// for within GWC_QUOTE_WINDOW characters. 1 with its place in *value; 0
// with `*why`.
int gwc_config_version(const char *file, size_t length, gwc_span *value, const char **why);

// upgrade.ini: the next blank-separated token from *pos on. 1 with its
// place in *token (and *pos after it), 0 at the end.
int gwc_ini_next_token(const char *file, size_t length, size_t *pos, gwc_span *token);
// Whether a token is a platform entry: it starts with "G" or "g".
int gwc_ini_is_platform(const char *file, gwc_span token);

#ifdef __cplusplus
}
#endif

#endif
