// SHA-256 checksums of files (OpenSSL's libcrypto), for the provenance of a run.
#pragma once

#include <optional>
#include <string>

// The SHA-256 of the file's bytes in lower-case hexadecimal, or nullopt when
// the file cannot be read or is no regular file (a FIFO or a device such as
// /dev/zero is neither waited for nor read).
std::optional<std::string> sha256_of_file(const std::string& path);

// The SHA-256 of `bytes` in lower-case hexadecimal.
std::string sha256_of_text(const std::string& bytes);
