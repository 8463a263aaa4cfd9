#include "common/evidence.h"

#include <algorithm>
#include <vector>

#include "common/terminal_text.h"
#include "platform/platform.h"

namespace {

std::string g_scanned;  // the file scanned, as given
bool g_has_scanned = false;
FileIdentity g_scanned_id;

struct EvidenceFile {
  FileIdentity id;
  bool hive = false;  // a registry hive (the image's files otherwise)
  std::string name;   // the hive as the run was given it
};

std::string g_image;                   // as the run was given it
std::vector<EvidenceFile> g_evidence;  // what it reads

void add_identity(const char* path, bool hive) {
  FileIdentity id;
  if (!file_identity(path, &id)) return;
  for (const EvidenceFile& file : g_evidence)
    if (file.id == id) return;
  g_evidence.push_back({id, hive, hive ? std::string(path) : std::string()});
}

}  // namespace

void protect_evidence(const char* image, const std::vector<std::string>& files) {
  g_image.assign(image);
  g_evidence.clear();
  if (g_image.empty()) return;
  add_identity(image, false);
  for (const std::string& file : files) add_identity(file.c_str(), false);
}

void protect_scanned_file(const char* path) {
  g_scanned.assign(path);
  g_has_scanned = !g_scanned.empty() && file_identity(path, &g_scanned_id);
}

void protect_registry_hive(const char* hive) { add_identity(hive, true); }

bool is_evidence(const char* path, std::string* reason) {
  if (g_evidence.empty() && !g_has_scanned) return false;
  FileIdentity id;
  if (!file_identity(path, &id)) return false;
  if (g_has_scanned && id == g_scanned_id) {
    reason->assign("it is the file scanned, ");
    append_terminal_text(reason, g_scanned.data(), g_scanned.size());
    return true;
  }
  const auto found = std::find_if(g_evidence.begin(), g_evidence.end(),
                                  [&id](const EvidenceFile& file) { return file.id == id; });
  if (found == g_evidence.end()) return false;
  if (found->hive) {
    reason->assign("it is the registry hive ");
    append_terminal_text(reason, found->name.data(), found->name.size());
  } else {
    reason->assign("it is part of the evidence image ");
    append_terminal_text(reason, g_image.data(), g_image.size());
  }
  return true;
}
