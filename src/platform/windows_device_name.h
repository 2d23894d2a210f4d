// SPDX-License-Identifier: MIT
// Windows' reserved device names: a path whose last part is CON, PRN, AUX,
// NUL, COM1-COM9 or LPT1-LPT9 (in any case, with or without an extension,
// in any folder) names a device, not a file, and so does any path in the
// device namespace (\\.\). Output written there is lost, or goes to a
// port; such outputs are refused before anything is opened.
#pragma once

namespace kiv {

bool IsWindowsDeviceName(const wchar_t* path);

}  // namespace kiv
