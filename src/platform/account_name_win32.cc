#include "platform/account_name.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

const bool kSystemAccountNames = true;

namespace {

// The SID's text form: "S-", then digits and dashes only (what
// ConvertStringSidToSidW takes, without its "SY"-style abbreviations).
bool plain_sid_text(std::string_view sid) {
  if (sid.size() < 4 || (sid[0] != 'S' && sid[0] != 's') || sid[1] != '-') return false;
  for (size_t i = 2; i < sid.size(); ++i) {
    if ((sid[i] < '0' || sid[i] > '9') && sid[i] != '-') return false;
  }
  return true;
}

}  // namespace

bool system_account_name(std::string_view sid, std::string* name) {
  if (!plain_sid_text(sid)) return false;
  std::wstring text(sid.begin(), sid.end());
  text[0] = L'S';
  PSID binary = nullptr;
  if (!ConvertStringSidToSidW(text.c_str(), &binary)) return false;
  std::vector<wchar_t> account(256), domain(256);
  DWORD account_size = static_cast<DWORD>(account.size());
  DWORD domain_size = static_cast<DWORD>(domain.size());
  SID_NAME_USE use;
  BOOL found = LookupAccountSidW(nullptr, binary, account.data(), &account_size, domain.data(),
                                 &domain_size, &use);
  if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    // The sizes now hold what the names need.
    account.resize(account_size + 1);
    domain.resize(domain_size + 1);
    account_size = static_cast<DWORD>(account.size());
    domain_size = static_cast<DWORD>(domain.size());
    found = LookupAccountSidW(nullptr, binary, account.data(), &account_size, domain.data(),
                              &domain_size, &use);
  }
  LocalFree(binary);
  if (!found || account_size == 0) return false;
  const int length = static_cast<int>(account_size);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, account.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return false;
  name->assign(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, account.data(), length, name->data(), bytes, nullptr, nullptr);
  return true;
}
