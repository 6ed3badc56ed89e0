// VirtualBox's file rules for a device module as installed: what its hardened loader
// checks before it loads a plug-in, for this system. pdmhost check-install reports them.
#pragma once

#include <string>
#include <vector>

namespace pdmhost {

/// What a check found: each refusal as one line (empty when VirtualBox would load the
/// file), and lines that only inform (what was not or could not be checked).
struct InstallReport {
  std::vector<std::string> refusals;
  std::vector<std::string> notes;
};

/// Applies this system's rules to the module at `path` (POSIX: absolute path, no symbolic
/// link, every directory and the file owned by root and writable by no one else;
/// Windows: absolute path, an Authenticode signature, an owner the loader trusts).
InstallReport checkInstall(const std::string& path);

/// The module file's absolute path as VirtualBox is to be given it (POSIX: every symbolic
/// link resolved; Windows: the full path). False with *error when it names no file.
bool moduleRealPath(const std::string& path, std::string* real, std::string* error);

enum class PeSignature { NotPe, Unsigned, Signed };

/// Whether the PE image in `bytes` carries an Authenticode signature: its security
/// directory names a PKCS#7 certificate that lies inside the file. Only its presence: the
/// signature itself and its chain are not checked.
PeSignature peSignature(const std::string& bytes);

} // namespace pdmhost
