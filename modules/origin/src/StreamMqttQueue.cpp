#include "StreamMqttQueue.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace nimbra_internal {

namespace {

constexpr uint32_t kMagic = 0x31514d4e;  // "NMQ1"
constexpr size_t kHeader = 24;           // magic, crc, queue number, topic and payload lengths
constexpr uint64_t kSegmentRecords = 512;

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  static uint32_t table[256];
  static bool ready = [] {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return true;
  }();
  (void)ready;
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

void put32(std::string& b, uint32_t v) { b.append(reinterpret_cast<const char*>(&v), 4); }
void put64(std::string& b, uint64_t v) { b.append(reinterpret_cast<const char*>(&v), 8); }

std::string encode(const MqttQueue::Message& m) {
  std::string body;
  put64(body, m.qn);
  put32(body, (uint32_t)m.topic.size());
  put32(body, (uint32_t)m.payload.size());
  body += m.topic;
  body += m.payload;
  std::string rec;
  put32(rec, kMagic);
  put32(rec, crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
  return rec + body;
}

bool read_all(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, (size_t)n);
  }
  ::close(fd);
  return true;
}

// Records of a segment file up to the first damaged one; `valid` is the length they take.
std::vector<MqttQueue::Message> decode(const std::string& data, size_t& valid) {
  std::vector<MqttQueue::Message> out;
  size_t at = 0;
  valid = 0;
  while (data.size() - at >= kHeader) {
    uint32_t magic, crc, tl, pl;
    uint64_t qn;
    memcpy(&magic, data.data() + at, 4);
    memcpy(&crc, data.data() + at + 4, 4);
    memcpy(&qn, data.data() + at + 8, 8);
    memcpy(&tl, data.data() + at + 16, 4);
    memcpy(&pl, data.data() + at + 20, 4);
    if (magic != kMagic || data.size() - at - kHeader < (uint64_t)tl + pl) break;
    const size_t body = 16 + (size_t)tl + pl;
    if (crc32(reinterpret_cast<const uint8_t*>(data.data() + at + 8), body) != crc) break;
    if (!out.empty() && qn != out.back().qn + 1) break;
    MqttQueue::Message m;
    m.qn = qn;
    m.topic.assign(data, at + kHeader, tl);
    m.payload.assign(data, at + kHeader + tl, pl);
    out.push_back(std::move(m));
    at += kHeader + tl + pl;
    valid = at;
  }
  return out;
}

bool make_dirs(const std::string& dir) {
  std::string path;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    path = dir.substr(0, pos);
    if (path.empty()) continue;
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

MqttQueue::MqttQueue(std::string dir, size_t memory_max, uint64_t disk_max_bytes)
    : dir_(std::move(dir)), memory_max_(std::max<size_t>(1, memory_max)), disk_max_(disk_max_bytes) {}

MqttQueue::~MqttQueue() {
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

std::string MqttQueue::path_of(uint64_t first) const {
  char name[40];
  snprintf(name, sizeof name, "/%020llu.seg", (unsigned long long)first);
  return dir_ + name;
}

bool MqttQueue::open(std::string& error) {
  if (dir_.empty() || disk_max_ == 0) return true;
  if (!make_dirs(dir_)) {
    error = "cannot create the spool directory " + dir_ + ": " + strerror(errno);
    return false;
  }
  const std::string lock = dir_ + "/.lock";
  lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) {
    error = "cannot write in the spool directory " + dir_ + ": " + strerror(errno);
    return false;
  }
  if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(lock_fd_);
    lock_fd_ = -1;
    error = "the spool directory " + dir_ + " is used by another process (give each one its own \"clientId\" or \"spoolDir\")";
    return false;
  }
  DIR* d = opendir(dir_.c_str());
  if (!d) {
    error = "cannot read the spool directory " + dir_ + ": " + strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() == 24 && n.compare(20, 4, ".seg") == 0) names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    const std::string path = dir_ + "/" + n;
    std::string data;
    size_t valid = 0;
    if (!read_all(path, data)) continue;
    std::vector<Message> recs = decode(data, valid);
    // Runs must not overlap one already kept (a damaged file is not worth guessing about).
    if (!recs.empty() && !segments_.empty()) {
      const Segment& last = segments_.rbegin()->second;
      if (recs.front().qn < last.first + last.count) recs.clear();
    }
    if (recs.empty()) {
      unlink(path.c_str());
      continue;
    }
    if (valid < data.size() && truncate(path.c_str(), (off_t)valid) != 0) {
    }
    if (path != path_of(recs.front().qn)) rename(path.c_str(), path_of(recs.front().qn).c_str());
    Segment s;
    s.first = recs.front().qn;
    s.count = recs.size();
    s.bytes = valid;
    segments_[s.first] = s;
    disk_count_ += s.count;
    disk_bytes_ += s.bytes;
    next_qn_ = std::max(next_qn_, s.first + s.count);
  }
  trim_disk();
  return true;
}

void MqttQueue::write_run(std::vector<Message>& run) {
  size_t i = 0;
  while (i < run.size()) {
    Segment* seg = nullptr;
    if (!segments_.empty()) {
      Segment& last = segments_.rbegin()->second;
      // A segment also closes at a quarter of the directory's bound, so dropping the
      // oldest one never empties the spool.
      if (last.first + last.count == run[i].qn && last.count < kSegmentRecords && last.bytes < disk_max_ / 4)
        seg = &last;
    }
    uint64_t first = seg ? seg->first : run[i].qn;
    const uint64_t room = kSegmentRecords - (seg ? seg->count : 0);
    size_t n = 0;
    std::string buf;
    uint64_t bytes = seg ? seg->bytes : 0;
    while (n < room && i + n < run.size() && (n == 0 || bytes < disk_max_ / 4)) {
      const std::string rec = encode(run[i + n]);
      buf += rec;
      bytes += rec.size();
      ++n;
    }
    const std::string path = path_of(first);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < buf.size()) {
      const ssize_t w = ::write(fd, buf.data() + done, buf.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) ok = false;
      else done += (size_t)w;
    }
    if (fd >= 0) {
      if (!ok && ftruncate(fd, lseek(fd, 0, SEEK_END) - (off_t)done) != 0) {
      }
      ::close(fd);
    }
    if (!ok) {
      disk_error_ = "cannot write " + path + ": " + strerror(errno);
      // What could not be written stays in memory.
      for (size_t k = i; k < run.size(); ++k) {
        auto pos = std::upper_bound(memory_.begin(), memory_.end(), run[k].qn,
                                    [](uint64_t q, const Message& m) { return q < m.qn; });
        memory_.insert(pos, std::move(run[k]));
      }
      return;
    }
    disk_error_.clear();
    if (!seg) {
      Segment s;
      s.first = first;
      segments_[first] = s;
      seg = &segments_[first];
    }
    auto cached = loaded_.find(first);
    for (size_t k = i; k < i + n; ++k) {
      if (cached != loaded_.end()) cached->second.push_back(run[k]);
    }
    seg->count += n;
    seg->bytes += buf.size();
    disk_count_ += n;
    disk_bytes_ += buf.size();
    i += n;
  }
  trim_disk();
}

void MqttQueue::spill(std::deque<Message>::iterator from, std::deque<Message>::iterator to) {
  std::vector<Message> moved(std::make_move_iterator(from), std::make_move_iterator(to));
  memory_.erase(from, to);
  // Runs of consecutive numbers, each written on its own.
  size_t start = 0;
  for (size_t k = 1; k <= moved.size(); ++k) {
    if (k == moved.size() || moved[k].qn != moved[k - 1].qn + 1) {
      std::vector<Message> run(std::make_move_iterator(moved.begin() + start),
                               std::make_move_iterator(moved.begin() + k));
      write_run(run);
      start = k;
    }
  }
}

void MqttQueue::spill_all() {
  if (!disk_enabled()) return;
  auto from = std::upper_bound(memory_.begin(), memory_.end(), cursor_,
                               [](uint64_t q, const Message& m) { return q < m.qn; });
  if (from != memory_.end()) spill(from, memory_.end());
}

void MqttQueue::push(std::string topic, std::string payload) {
  Message m;
  m.qn = next_qn_++;
  m.topic = std::move(topic);
  m.payload = std::move(payload);
  memory_.push_back(std::move(m));
  if (memory_.size() <= memory_max_) return;
  if (disk_enabled()) spill_all();  // leaves only the messages in flight
  // Without a working spool the oldest message goes.
  while (memory_.size() > memory_max_ && !(disk_enabled() && disk_error_.empty())) {
    acked_.erase(memory_.front().qn);
    memory_.pop_front();
    ++dropped_;
  }
}

const std::vector<MqttQueue::Message>& MqttQueue::load(const Segment& s) {
  auto it = loaded_.find(s.first);
  if (it != loaded_.end()) return it->second;
  std::string data;
  size_t valid = 0;
  std::vector<Message> recs;
  if (read_all(path_of(s.first), data)) recs = decode(data, valid);
  // Segments wholly handed out already are not needed in memory any more.
  for (auto l = loaded_.begin(); l != loaded_.end();) {
    auto seg = segments_.find(l->first);
    const bool head = seg == segments_.begin();
    if (!head && (seg == segments_.end() || seg->second.first + seg->second.count - 1 <= cursor_))
      l = loaded_.erase(l);
    else
      ++l;
  }
  return loaded_[s.first] = std::move(recs);
}

const MqttQueue::Message* MqttQueue::next_unsent() {
  for (;;) {
    const Message* best = nullptr;
    auto mem = std::upper_bound(memory_.begin(), memory_.end(), cursor_,
                                [](uint64_t q, const Message& m) { return q < m.qn; });
    if (mem != memory_.end()) best = &*mem;
    // The disk segment holding the first number above the cursor.
    auto seg = segments_.upper_bound(cursor_);
    if (seg != segments_.begin()) {
      auto prev = std::prev(seg);
      if (prev->second.first + prev->second.count - 1 > cursor_) seg = prev;
    }
    if (seg != segments_.end()) {
      const Segment& s = seg->second;
      const uint64_t qn = std::max(cursor_ + 1, s.first + s.consumed);
      if (!best || qn < best->qn) {
        const std::vector<Message>& recs = load(s);
        const uint64_t idx = qn - s.first;
        if (idx < recs.size()) {
          best = &recs[idx];
        } else {
          // The file lost records since it was counted: what is gone is gone.
          dropped_ += s.count - s.consumed;
          drop_segment(seg);
          continue;
        }
      }
    }
    if (!best) return nullptr;
    cursor_ = best->qn;
    if (acked_.count(best->qn)) continue;
    return best;
  }
}

uint64_t MqttQueue::front_qn() const {
  uint64_t f = 0;
  if (!memory_.empty()) f = memory_.front().qn;
  if (!segments_.empty()) {
    const Segment& s = segments_.begin()->second;
    const uint64_t d = s.first + s.consumed;
    if (f == 0 || d < f) f = d;
  }
  return f;
}

void MqttQueue::drop_segment(std::map<uint64_t, Segment>::iterator it) {
  unlink(path_of(it->first).c_str());
  disk_count_ -= it->second.count - it->second.consumed;
  disk_bytes_ -= it->second.bytes;
  loaded_.erase(it->first);
  segments_.erase(it);
}

void MqttQueue::trim_disk() {
  while (disk_bytes_ > disk_max_ && !segments_.empty()) {
    auto it = segments_.begin();
    dropped_ += it->second.count - it->second.consumed;
    drop_segment(it);
  }
}

void MqttQueue::pop_acked() {
  for (;;) {
    const uint64_t f = front_qn();
    if (f == 0) {
      acked_.clear();
      return;
    }
    acked_.erase(acked_.begin(), acked_.lower_bound(f));
    if (!acked_.count(f)) return;
    acked_.erase(f);
    if (!memory_.empty() && memory_.front().qn == f) {
      memory_.pop_front();
      continue;
    }
    auto it = segments_.begin();
    ++it->second.consumed;
    --disk_count_;
    if (it->second.consumed == it->second.count) drop_segment(it);  // nothing left to subtract
  }
}

void MqttQueue::acked(uint64_t qn) {
  acked_.insert(qn);
  pop_acked();
}

void MqttQueue::rewind() { cursor_ = 0; }

}  // namespace nimbra_internal
