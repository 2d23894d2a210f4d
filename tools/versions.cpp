// SPDX-License-Identifier: MIT
#include "versions.h"

#include <cstdio>

#include <gsm.h>
#include <sndfile.h>
#include <soxr.h>
#if defined(KIV_HAVE_MPG123)
#include <mpg123.h>
#endif
#if defined(KIV_HAVE_FLAC)
#include <FLAC/format.h>
#endif

namespace kiv::tool {

std::string VersionText(const std::string& tool_version) {
  std::string text = "kivgsm " + tool_version + "\n";
  text += "library:    kivgsm " + tool_version + " (linked into the tool)\n";
  text += std::string("libsndfile: ") + sf_version_string() + "\n";
  text += std::string("libsoxr:    ") + soxr_version() + "\n";
  // libgsm has no call that names its version: this is the one built against.
  char gsm[64];
  std::snprintf(gsm, sizeof gsm, "libgsm:     %d.%d.%d (as built against)", GSM_MAJOR, GSM_MINOR, GSM_PATCHLEVEL);
  text += gsm;
#if defined(KIV_HAVE_MPG123)
  text += "\nlibmpg123:  API " + std::to_string(MPG123_API_VERSION) + " (as built against)";
#endif
#if defined(KIV_HAVE_FLAC)
  text += std::string("\nlibFLAC:    ") + FLAC__VERSION_STRING;
#endif
  return text;
}

}  // namespace kiv::tool
