#include "driver/companion_steps.h"

#include "platform/codepage.h"
#include "report/record_text.h"

CompanionSteps::CompanionSteps(const CompanionStepSettings& settings) : settings_(settings) {
  source_.reserve(1040);
  original_path_.reserve(1040);
  if (settings_.zone) zone_buffer_ = std::make_unique<char[]>(kZoneStreamLimit);
}

CompanionSteps::~CompanionSteps() = default;

bool CompanionSteps::active() const {
  return settings_.digests != 0 || settings_.zone || collector_ != nullptr;
}

bool CompanionSteps::open(std::unique_ptr<CopyTarget> collect_target, std::string* reason,
                          bool* write_failed) {
  *write_failed = false;
  // The copies' manifest gives each file's SHA-256.
  const unsigned kinds = settings_.digests | (collect_target ? digest_bit(kDigestSha256) : 0);
  if (kinds != 0) {
    digests_ = std::make_unique<FileDigests>(kinds, settings_.reset_times);
    if (!digests_->open(reason)) return false;
  }
  if (collect_target) {
    *write_failed = true;
    collector_ = std::make_unique<Collector>(std::move(collect_target), digests_.get(),
                                             static_cast<CollectMessages*>(this));
    if (!collector_->start(reason)) {
      *reason = "the manifest cannot be made (" + *reason + ")";
      return false;
    }
    *write_failed = false;
  }
  return true;
}

void CompanionSteps::problem(const std::string& text) { messages_->message(text); }

void CompanionSteps::fill_digests(RecycleRecord* record) {
  CompanionInfo& c = record->companion;
  if (settings_.digests & digest_bit(kDigestMd5)) c.md5 = digests_->hex(kDigestMd5);
  if (settings_.digests & digest_bit(kDigestSha1)) c.sha1 = digests_->hex(kDigestSha1);
  if (settings_.digests & digest_bit(kDigestSha256)) c.sha256 = digests_->hex(kDigestSha256);
}

void CompanionSteps::examine(FileSystem* fs, DirRef dir, const char* name, RecycleRecord* record) {
  CompanionInfo& companion = record->companion;
  if (settings_.zone) {
    ZoneIdentifier zone;
    if (read_zone_identifier(fs, dir, name, zone_buffer_.get(), &zone)) {
      companion.has_zone_id = zone.has_zone_id;
      companion.zone_id = zone.zone_id;
      companion.host_url = zone.host_url;
      companion.referrer_url = zone.referrer_url;
    }
  }
  const bool file = companion.kind == CompanionKind::kFile;
  if (!(collector_ && record->parent_source.empty()) && !(file && settings_.digests != 0)) return;

  source_.assign(record->source_prefix);
  source_.append(record->directory);
  source_.append(name);

  // An entry inside a recycled folder (it names the record whose folder
  // holds it) was copied with that folder.
  const bool copied = collector_ && record->parent_source.empty();
  if (copied && (file || companion.kind == CompanionKind::kDirectory)) {
    original_path_.clear();
    if (record->opened && record->path_utf16) {
      append_utf16le_as_utf8(record->path_utf16, record->path_units, &original_path_);
    } else if (record->opened && record->path_ansi) {
      if (record->drive_letter != 0) original_path_.push_back(record->drive_letter);
      append_codepage_as_utf8(settings_.codepage, record->path_ansi, record->path_ansi_length,
                              &original_path_);
    }
    CollectItem item;
    item.user_sid = record->user_sid;
    item.entry_name = record->entry_name;
    item.original_path = original_path_;
    item.source = source_;
    item.companion_name = name;
    const bool failed_before = collector_->read_failed();
    collector_->collect(fs, dir, file ? EntryKind::kRegular : EntryKind::kDirectory,
                        companion.times, item);
    note_restore_failure();
    if (!file || settings_.digests == 0) return;
    if (collector_->last_read_whole()) {
      fill_digests(record);
      return;
    }
    // A file that could not be read was named; one whose copy could not be
    // written is read again for its digests.
    if (collector_->read_failed() && !failed_before) return;
  }
  uint64_t size = 0;
  const DigestOutcome outcome = digests_->read(fs, dir, name, nullptr, &size, &reason_);
  note_restore_failure();
  if (outcome == DigestOutcome::kDone) {
    fill_digests(record);
    return;
  }
  read_failed_ = true;
  std::string text = "Can't read companion ";
  append_valid_utf8(source_, &text);
  text.append(": ").append(reason_);
  messages_->message(text);
}

void CompanionSteps::note_restore_failure() {
  if (!digests_ || !digests_->restore_failed()) return;
  std::string text = "Can't reset filetime for ";
  append_valid_utf8(source_, &text);
  messages_->message(text);
}

void CompanionSteps::finish() {
  if (collector_) collector_->finish();
}

bool CompanionSteps::read_failed() const {
  return read_failed_ || (collector_ && collector_->read_failed());
}

bool CompanionSteps::write_failed() const { return collector_ && collector_->write_failed(); }
