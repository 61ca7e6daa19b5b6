// The registry's file format: REGEDIT4 text.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\vexwdm\Parameters\Common]
//   "BufSize2"=dword:00000005
//   @="the key's default value"
//   "Blob"=hex:01,02,03
//   "Path"=hex(2):25,00,00,00
//
// Strings are UTF-8 between quotes with \\ and \" escaped; a REG_SZ whose data is not exactly one
// terminated string without control characters is written as hex(1): so that every value reads
// back byte for byte.  Non-volatile keys only; \Registry\Machine is HKEY_LOCAL_MACHINE and
// \Registry\User HKEY_USERS.  Long hex lists continue on the next line after a backslash.
#pragma once

#include <string>
#include <string_view>

namespace nt {

struct KeyNode;

std::string CmExportRegedit(const KeyNode& root);
// Merges the text into the tree under `root` (\Registry).  False with *error set at the first
// line that could not be read; everything before it is kept.
bool CmImportRegedit(std::string_view text, KeyNode& root, std::string* error);

} // namespace nt
