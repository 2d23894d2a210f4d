// SPDX-License-Identifier: MIT
// SHA-256 of a byte string, as lowercase hex: the golden table's digests.
#pragma once

#include <string>
#include <vector>

namespace kiv::test {

std::string Sha256Hex(const std::vector<unsigned char>& bytes);

}  // namespace kiv::test
