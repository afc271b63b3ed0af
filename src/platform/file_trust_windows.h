// Windows only, for the platform's own files: the judgments of file_trust_windows.cpp that the
// library loader (library_windows.cpp) makes on a file it holds open.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/file_trust.h"

namespace os::win {

// Who but the trusted accounts can change the file held by `h` (named `path`).
void JudgeHandle(HANDLE h, const std::string& path, const std::vector<AccountId>& also_trusted,
                 std::vector<UntrustedWrite>& found);
// Who can change `folder`, and who can delete, rename or re-permission it from above.
void JudgeFolderAndAbove(const std::string& folder, const std::vector<AccountId>& also_trusted,
                         std::vector<UntrustedWrite>& found);
// Who can change anything `folder` holds, its subfolders' contents included (links judged as
// themselves, never followed).
void JudgeFolderContents(const std::string& folder, const std::vector<AccountId>& also_trusted,
                         std::vector<UntrustedWrite>& found);

}  // namespace os::win
