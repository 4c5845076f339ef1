#include "h264/writer/harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "h264/decoder.h"

namespace vexlor::h264w {

void Stream::Add(const std::vector<uint8_t>& nal) {
  bytes.insert(bytes.end(), nal.begin(), nal.end());
  ++nalUnits;
}

void Stream::Add(const std::vector<std::vector<uint8_t>>& nals) {
  for (const auto& n : nals) Add(n);
}

void Stream::AddParams(const Sps& sps, const Pps& pps) {
  Add(SpsNal(sps));
  Add(PpsNal(pps));
}

SliceHeader IdrHeader(int idr_pic_id, int poc_lsb) {
  SliceHeader h;
  h.nal_unit_type = 5;
  h.nal_ref_idc = 3;
  h.slice_type = kSliceI;
  h.idr_pic_id = idr_pic_id;
  h.pic_order_cnt_lsb = poc_lsb;
  return h;
}

SliceHeader RefHeader(int frame_num, int poc_lsb, int slice_type) {
  SliceHeader h;
  h.nal_unit_type = 1;
  h.nal_ref_idc = 2;
  h.slice_type = slice_type;
  h.frame_num = frame_num;
  h.pic_order_cnt_lsb = poc_lsb;
  return h;
}

SliceHeader NonRefHeader(int frame_num, int poc_lsb, int slice_type) {
  SliceHeader h = RefHeader(frame_num, poc_lsb, slice_type);
  h.nal_ref_idc = 0;
  return h;
}

PictureCode PcmPicture(const Sps& sps, const Frame* content, SliceHeader header) {
  PictureCode p;
  p.header = header;
  p.mb = AllPcm(sps);
  p.pcm = content;
  return p;
}

PictureCode CopyPicture(const Sps& sps, int refIdx, SliceHeader header) {
  PictureCode p;
  p.header = header;
  p.mb = refIdx == 0 ? AllSkip(sps) : AllInter(sps, refIdx);
  return p;
}

namespace {

void Collect(const h264::DecodeRequest& req, DecodeOutcome* out) {
  if (req.status == -1) ++out->errorCalls;
  if (req.status <= 0) return;
  DecodedPicture d;
  d.frame = MakeFrame(req.width, req.height);
  d.poc = req.poc;
  d.cropLeft = req.cropLeft;
  d.cropRight = req.cropRight;
  d.cropTop = req.cropTop;
  d.cropBottom = req.cropBottom;
  if (req.width <= 0 || req.height <= 0 || req.luma == nullptr || req.cb == nullptr ||
      req.cr == nullptr) {
    ADD_FAILURE() << "picture delivered without planes (" << req.width << "x" << req.height << ")";
  } else {
    std::memcpy(d.frame.y.data(), req.luma, d.frame.y.size());
    std::memcpy(d.frame.cb.data(), req.cb, d.frame.cb.size());
    std::memcpy(d.frame.cr.data(), req.cr, d.frame.cr.size());
  }
  out->pictures.push_back(std::move(d));
}

std::string CurrentTestName() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return "stream";
  std::ostringstream s;
  s << info->test_suite_name() << "." << info->name();
  std::string name = s.str();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name;
}

void Dump(const Stream& stream, const std::vector<Expected>& want) {
  const char* dir = std::getenv("VEXLOR_WRITER_DUMP");
  if (dir == nullptr || *dir == 0) return;
  static std::string lastName;
  static int serial = 0;
  const std::string name = CurrentTestName();
  serial = name == lastName ? serial + 1 : 0;
  lastName = name;
  std::ostringstream path;
  path << dir << "/" << name;
  if (serial > 0) path << "." << serial;
  const std::string base = path.str();
  if (std::FILE* f = std::fopen((base + ".264").c_str(), "wb")) {
    std::fwrite(stream.bytes.data(), 1, stream.bytes.size(), f);
    std::fclose(f);
  }
  if (std::FILE* f = std::fopen((base + ".yuv").c_str(), "wb")) {
    for (const Expected& e : want) {
      std::fwrite(e.frame->y.data(), 1, e.frame->y.size(), f);
      std::fwrite(e.frame->cb.data(), 1, e.frame->cb.size(), f);
      std::fwrite(e.frame->cr.data(), 1, e.frame->cr.size(), f);
    }
    std::fclose(f);
  }
}

// First difference between two frames of the same size, or "".
std::string FirstDifference(const Frame& got, const Frame& want) {
  const struct {
    const char* name;
    const std::vector<uint8_t>* g;
    const std::vector<uint8_t>* w;
    int width;
  } planes[] = {{"luma", &got.y, &want.y, want.width},
                {"cb", &got.cb, &want.cb, want.width / 2},
                {"cr", &got.cr, &want.cr, want.width / 2}};
  for (const auto& p : planes) {
    for (size_t i = 0; i < p.w->size(); ++i) {
      if ((*p.g)[i] != (*p.w)[i]) {
        std::ostringstream s;
        const int x = static_cast<int>(i % p.width), y = static_cast<int>(i / p.width);
        const int mbScale = p.g == &got.y ? 16 : 8;
        s << p.name << " (" << x << "," << y << ") [mb "
          << (y / mbScale) * (want.width / 16) + x / mbScale << "] is " << int{(*p.g)[i]}
          << ", want " << int{(*p.w)[i]};
        return s.str();
      }
    }
  }
  return "";
}

}  // namespace

DecodeOutcome DecodeStream(const std::vector<uint8_t>& bytes, const DecodeOptions& options) {
  DecodeOutcome out;
  h264::H264Decoder* dec = nullptr;
  if (h264::CreateDecoder(&dec) != 0 || dec == nullptr) {
    ADD_FAILURE() << "decoder not created";
    return out;
  }
  std::vector<uint8_t> buf = bytes;  // the caller's buffer; the decoder may rewrite it
  size_t pos = 0;
  const size_t maxCalls = bytes.size() + 16;
  while (pos < buf.size() && out.calls < static_cast<int>(maxCalls)) {
    h264::DecodeRequest req{};
    req.length = static_cast<int32_t>(buf.size() - pos);
    req.stream = buf.data() + pos;
    const int32_t n = h264::DecodeData(dec, &req);
    ++out.calls;
    Collect(req, &out);
    if (n <= 0 || static_cast<size_t>(n) > buf.size() - pos) {
      ADD_FAILURE() << "decode call returned length " << n << " with " << buf.size() - pos
                    << " bytes left";
      break;
    }
    if (options.reuseBuffer) {
      for (int32_t i = 0; i < n; ++i) buf[pos + i] = static_cast<uint8_t>(0xA5 ^ (i * 7));
    }
    pos += static_cast<size_t>(n);
  }
  for (int drain = 0; drain < 200; ++drain) {
    h264::DecodeRequest req{};
    req.length = 0;
    req.stream = buf.data() + pos;
    const int32_t n = h264::DecodeData(dec, &req);
    ++out.calls;
    if (n != 0) ADD_FAILURE() << "drain call returned length " << n;
    Collect(req, &out);
    if (req.status == 0) break;
  }
  h264::DestroyDecoder(dec);
  return out;
}

::testing::AssertionResult SameOutput(const DecodeOutcome& got, const std::vector<Expected>& want) {
  std::ostringstream msg;
  bool ok = got.pictures.size() == want.size();
  if (!ok)
    msg << "\n  " << got.pictures.size() << " pictures emitted, " << want.size() << " expected";
  for (size_t i = 0; i < got.pictures.size(); ++i) {
    const DecodedPicture& g = got.pictures[i];
    std::ostringstream problem;
    if (i < want.size()) {
      const Frame& w = *want[i].frame;
      if (g.frame.width != w.width || g.frame.height != w.height) {
        problem << "size " << g.frame.width << "x" << g.frame.height << ", want " << w.width << "x"
                << w.height;
      } else if (std::string d = FirstDifference(g.frame, w); !d.empty()) {
        problem << d;
      } else if (want[i].poc != kAnyPoc && g.poc != want[i].poc) {
        problem << "poc " << g.poc << ", want " << want[i].poc;
      }
    } else {
      problem << "not expected";
    }
    if (problem.str().empty()) continue;
    ok = false;
    msg << "\n  picture " << i << " (poc " << g.poc << "): " << problem.str();
    for (size_t k = 0; k < want.size(); ++k) {
      if (k != i && g.frame == *want[k].frame) {
        msg << "; equals expected picture " << k;
        break;
      }
    }
  }
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "decoded output differs (" << got.errorCalls << " calls reported errors):" << msg.str();
}

::testing::AssertionResult DecodesTo(const Stream& stream, const std::vector<Expected>& want,
                                     const DecodeOptions& options) {
  Dump(stream, want);
  ::testing::AssertionResult r = SameOutput(DecodeStream(stream.bytes, options), want);
  if (!r || options.reuseBuffer) return r;
  // A caller may reuse its buffer once a call has returned: the output must not change.
  DecodeOptions reuse = options;
  reuse.reuseBuffer = true;
  ::testing::AssertionResult again = SameOutput(DecodeStream(stream.bytes, reuse), want);
  if (!again) return again << " (only when the caller reuses its buffer)";
  return r;
}

const Frame* KnownStream::NewFrame(uint32_t seed) {
  frames_.push_back(NoiseFrame(sps_.Width(), sps_.Height(), seed));
  return &frames_.back();
}

const Frame* KnownStream::Add(const PictureCode& pic, const std::vector<const Frame*>& refs,
                              int poc) {
  stream.Add(EncodePicture(sps_, pps_, pic));
  frames_.push_back(ExpectedPicture(sps_, pps_, pic, refs));
  expected.push_back({&frames_.back(), poc == kUseLsb ? pic.header.pic_order_cnt_lsb : poc});
  return &frames_.back();
}

const Frame* KnownStream::Pcm(const SliceHeader& h, uint32_t seed, int poc) {
  const Frame* content = NewFrame(seed);
  return Add(PcmPicture(sps_, content, h), {}, poc);
}

const Frame* KnownStream::Probe(SliceHeader h, const std::vector<const Frame*>& refs, int poc) {
  const int n = static_cast<int>(refs.size());
  h.SetActiveRefs(n);
  PictureCode p;
  p.header = h;
  for (int i = 0; i < sps_.SizeMbs(); ++i) p.mb.push_back({MbKind::kInter, i % n});
  return Add(p, refs, poc);
}

}  // namespace vexlor::h264w
