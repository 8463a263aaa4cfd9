#include "common/evidence.h"

#include <algorithm>
#include <vector>

#include "common/terminal_text.h"
#include "platform/platform.h"

namespace {

std::string g_image;                      // as the run was given it
std::vector<FileIdentity> g_evidence;     // what it reads for that image
std::string g_scanned;                    // the file scanned, as given
bool g_has_scanned = false;
FileIdentity g_scanned_id;

void add_identity(const char* path) {
  FileIdentity id;
  if (!file_identity(path, &id)) return;
  if (std::find(g_evidence.begin(), g_evidence.end(), id) == g_evidence.end())
    g_evidence.push_back(id);
}

}  // namespace

void protect_evidence(const char* image, const std::vector<std::string>& files) {
  g_image.assign(image);
  g_evidence.clear();
  if (g_image.empty()) return;
  add_identity(image);
  for (const std::string& file : files) add_identity(file.c_str());
}

void protect_scanned_file(const char* path) {
  g_scanned.assign(path);
  g_has_scanned = !g_scanned.empty() && file_identity(path, &g_scanned_id);
}

bool is_evidence(const char* path, std::string* reason) {
  if (g_evidence.empty() && !g_has_scanned) return false;
  FileIdentity id;
  if (!file_identity(path, &id)) return false;
  if (g_has_scanned && id == g_scanned_id) {
    reason->assign("it is the file scanned, ");
    append_terminal_text(reason, g_scanned.data(), g_scanned.size());
    return true;
  }
  if (std::find(g_evidence.begin(), g_evidence.end(), id) == g_evidence.end()) return false;
  reason->assign("it is part of the evidence image ");
  append_terminal_text(reason, g_image.data(), g_image.size());
  return true;
}
