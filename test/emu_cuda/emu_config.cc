#include "emu_config.h"

#include <stdio.h>
#include <string.h>

namespace emu_cuda {

namespace {

// Just enough JSON for the device list: objects, arrays, strings, non-negative
// integers, and true/false/null for fields we skip. No exceptions (node-gyp
// builds without them), so every step reports failure through its result.
class JsonReader {
 public:
  JsonReader(const char* text, std::string* error) : p_(text), error_(error) {}

  bool fail(const char* what) {
    char buf[160];
    snprintf(buf, sizeof(buf), "%s at offset %zu", what, offset());
    *error_ = buf;
    return false;
  }

  void skip_space() {
    while (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r') ++p_;
  }

  // Consumes `c` (after blanks) when it is next.
  bool accept(char c) {
    skip_space();
    if (*p_ != c) return false;
    ++p_;
    return true;
  }

  bool expect(char c) {
    if (accept(c)) return true;
    char what[32];
    snprintf(what, sizeof(what), "expected '%c'", c);
    return fail(what);
  }

  bool at_end() {
    skip_space();
    return *p_ == '\0';
  }

  bool string(std::string* out) {
    skip_space();
    if (*p_ != '"') return fail("expected a string");
    ++p_;
    out->clear();
    for (;;) {
      const unsigned char c = static_cast<unsigned char>(*p_++);
      if (c == '"') return true;
      if (c == '\0') return fail("unterminated string");
      if (c < 0x20) return fail("control character in string");
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      const char e = *p_++;
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          unsigned cp = 0;
          if (!hex4(&cp)) return false;
          // A surrogate pair makes one code point beyond the BMP.
          if (cp >= 0xD800 && cp < 0xDC00 && p_[0] == '\\' && p_[1] == 'u') {
            p_ += 2;
            unsigned low = 0;
            if (!hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          put_utf8(cp, out);
          break;
        }
        default:
          --p_;
          return fail("bad escape in string");
      }
    }
  }

  bool integer(uint64_t* out) {
    skip_space();
    if (*p_ < '0' || *p_ > '9') return fail("expected a non-negative integer");
    uint64_t v = 0;
    while (*p_ >= '0' && *p_ <= '9') {
      const unsigned d = static_cast<unsigned>(*p_ - '0');
      if (v > (UINT64_MAX - d) / 10) return fail("integer too large");
      v = v * 10 + d;
      ++p_;
    }
    if (*p_ == '.' || *p_ == 'e' || *p_ == 'E') return fail("expected an integer");
    *out = v;
    return true;
  }

  // Skips one value of any kind (for fields we do not know).
  bool skip_value(int depth = 0) {
    if (depth > 32) return fail("nesting too deep");
    skip_space();
    std::string ignored;
    switch (*p_) {
      case '"':
        return string(&ignored);
      case '{':
        ++p_;
        if (accept('}')) return true;
        do {
          if (!string(&ignored) || !expect(':') || !skip_value(depth + 1)) return false;
        } while (accept(','));
        return expect('}');
      case '[':
        ++p_;
        if (accept(']')) return true;
        do {
          if (!skip_value(depth + 1)) return false;
        } while (accept(','));
        return expect(']');
      default:
        break;
    }
    for (const char* word : {"true", "false", "null"}) {
      const size_t n = strlen(word);
      if (strncmp(p_, word, n) == 0) {
        p_ += n;
        return true;
      }
    }
    if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) {
      ++p_;
      while ((*p_ >= '0' && *p_ <= '9') || *p_ == '.' || *p_ == 'e' || *p_ == 'E' ||
             *p_ == '+' || *p_ == '-')
        ++p_;
      return true;
    }
    return fail("expected a value");
  }

 private:
  size_t offset() const { return static_cast<size_t>(p_ - start_); }

  bool hex4(unsigned* out) {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_;
      unsigned d;
      if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
      else return fail("bad \\u escape");
      v = v * 16 + d;
      ++p_;
    }
    *out = v;
    return true;
  }

  static void put_utf8(unsigned cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  const char* p_;
  const char* const start_ = p_;
  std::string* error_;
};

bool small_int(JsonReader& r, const char* field, int* out) {
  uint64_t v = 0;
  if (!r.integer(&v)) return false;
  if (v > 1000) {
    std::string what = std::string(field) + " out of range";
    return r.fail(what.c_str());
  }
  *out = static_cast<int>(v);
  return true;
}

bool device(JsonReader& r, DeviceConfig* d) {
  if (!r.expect('{')) return false;
  if (r.accept('}')) return true;
  do {
    std::string key;
    if (!r.string(&key) || !r.expect(':')) return false;
    bool ok;
    if (key == "name") {
      ok = r.string(&d->name);
      // The runtime's name field holds 255 characters and a terminating NUL.
      if (ok && (d->name.size() > 255 || d->name.find('\0') != std::string::npos))
        ok = r.fail("name longer than 255 bytes or holding a NUL");
    } else if (key == "totalGlobalMem") {
      ok = r.integer(&d->total_global_mem);
    } else if (key == "major") {
      ok = small_int(r, "major", &d->major);
    } else if (key == "minor") {
      ok = small_int(r, "minor", &d->minor);
    } else {
      ok = r.skip_value();
    }
    if (!ok) return false;
  } while (r.accept(','));
  return r.expect('}');
}

bool parse_count(const std::string& s, uint64_t* out) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

// Every driver entry point the emulator provides, by the name a failure point
// uses (cuda.h's name: cuMemAlloc for cuMemAlloc_v2).
const char* const kFunctions[] = {
    "cuInit",           "cuDriverGetVersion",         "cuDeviceGetCount",
    "cuDeviceGet",      "cuDeviceGetName",            "cuDeviceGetAttribute",
    "cuDeviceTotalMem", "cuDevicePrimaryCtxRetain",   "cuDevicePrimaryCtxSetFlags",
    "cuDevicePrimaryCtxReset", "cuCtxSetCurrent",     "cuModuleLoadData",
    "cuModuleGetFunction", "cuModuleGetGlobal",       "cuFuncGetAttribute",
    "cuMemAlloc",       "cuMemFree",                  "cuMemsetD8Async",
    "cuMemcpyHtoDAsync", "cuMemcpyDtoHAsync",         "cuLaunchKernel",
    "cuStreamSynchronize",
};

bool is_emulated_function(const std::string& name) {
  for (const char* f : kFunctions)
    if (name == f) return true;
  return false;
}

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool parse_devices(const char* json, std::vector<DeviceConfig>* out, std::string* error) {
  out->clear();
  JsonReader r(json ? json : "", error);
  if (r.at_end()) {
    out->push_back(DeviceConfig());
    return true;
  }
  if (!r.expect('[')) return false;
  if (!r.accept(']')) {
    do {
      DeviceConfig d;
      if (!device(r, &d)) return false;
      out->push_back(d);
    } while (r.accept(','));
    if (!r.expect(']')) return false;
  }
  if (!r.at_end()) return r.fail("text after the array");
  return true;
}

bool parse_failures(const char* text, std::vector<FailurePoint>* out, std::string* error) {
  out->clear();
  const std::string all = text ? text : "";
  size_t pos = 0;
  while (pos <= all.size()) {
    size_t end = all.find(',', pos);
    if (end == std::string::npos) end = all.size();
    const std::string item = trim(all.substr(pos, end - pos));
    pos = end + 1;
    if (item.empty()) continue;

    FailurePoint f;
    std::string rest = item;
    const size_t eq = rest.find('=');
    if (eq != std::string::npos) {
      uint64_t code = 0;
      if (!parse_count(trim(rest.substr(eq + 1)), &code) || code == 0 || code > 100000) {
        *error = "bad error code in '" + item + "'";
        return false;
      }
      f.code = static_cast<int>(code);
      rest = trim(rest.substr(0, eq));
    }
    const size_t colon = rest.find(':');
    if (colon != std::string::npos) {
      if (!parse_count(trim(rest.substr(colon + 1)), &f.call) || f.call == 0) {
        *error = "bad call number in '" + item + "' (calls count from 1)";
        return false;
      }
      rest = trim(rest.substr(0, colon));
    }
    if (!is_emulated_function(rest)) {
      *error = "'" + rest + "' is not a driver function the emulator provides";
      return false;
    }
    f.function = rest;
    out->push_back(f);
  }
  return true;
}

bool parse_driver(const char* text, int* cuda_version, std::string* error) {
  const std::string branch = trim(text ? text : "");
  // Each branch's CUDA version, as its cuDriverGetVersion reports it.
  const struct {
    const char* branch;
    int version;
  } kBranches[] = {{"352", 7050}, {"470", 11040}, {"535", 12020}, {"580", 13000}};
  for (const auto& b : kBranches) {
    if (branch == b.branch || (branch.empty() && std::string(b.branch) == "580")) {
      *cuda_version = b.version;
      return true;
    }
  }
  *error = "'" + branch + "' is not a driver branch the emulator knows (352, 470, 535, 580)";
  return false;
}

// From the PTX ISA's release history: ISA 4.3 came with CUDA 8.0, 5.0 with
// 9.0, 6.0-6.2 with 9.0-9.2, 6.3-6.5 with 10.0-10.2, 7.y with 11.y, 8.0-8.5
// with 12.0-12.5, 8.6-8.8 with 12.7-12.9, 9.0 with 13.0.
int ptx_isa_driver(int major, int minor) {
  if (major == 4 && minor <= 3) return 8000;
  if (major == 5 && minor == 0) return 9000;
  if (major == 6 && minor <= 2) return 9000 + 10 * minor;
  if (major == 6 && minor <= 5) return 10000 + 10 * (minor - 3);
  if (major == 7 && minor <= 8) return 11000 + 10 * minor;
  if (major == 8 && minor <= 5) return 12000 + 10 * minor;
  if (major == 8 && minor <= 8) return 12010 + 10 * minor;
  if (major == 9 && minor == 0) return 13000;
  return 0;
}

}  // namespace emu_cuda
