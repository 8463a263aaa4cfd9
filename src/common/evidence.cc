#include "common/evidence.h"

#include <algorithm>
#include <vector>

#include "common/terminal_text.h"
#include "platform/platform.h"

namespace {

std::string g_image;                      // as the run was given it
std::vector<FileIdentity> g_evidence;     // what it reads for that image

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

bool is_evidence(const char* path, std::string* reason) {
  if (g_evidence.empty()) return false;
  FileIdentity id;
  if (!file_identity(path, &id)) return false;
  if (std::find(g_evidence.begin(), g_evidence.end(), id) == g_evidence.end()) return false;
  reason->assign("it is part of the evidence image ");
  append_terminal_text(reason, g_image.data(), g_image.size());
  return true;
}
