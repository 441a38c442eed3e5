#include "media/describe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "media/convert.h"
#include "media/id3.h"
#include "media/media_kind.h"
#include "media/mp4.h"
#include "media/mpeg_audio.h"
#include "media/pcm_audio.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

namespace {

// Title, artist, album, year, genre and comment: version 2 where it has a
// value, else version 1. The composer only version 2 has.
void ReadTags(const std::string& path, TrackInfo& info) {
  ID3TagInfo v1, v2;
  ClearTagInfo(v1);
  ClearTagInfo(v2);
  ReadID3v1Tag(path, v1);
  ReadID3v2Tag(path, v2);
  auto pick = [](const std::string& a, const std::string& b) { return b.empty() ? a : b; };
  info.sArtist = pick(v1.sArtist, v2.sArtist);
  info.sAlbum = pick(v1.sAlbum, v2.sAlbum);
  info.sTitle = pick(v1.sTitle, v2.sTitle);
  if (info.sTitle.empty()) info.sTitle = fs::FileName(path);
  info.sYear = pick(v1.sYear, v2.sYear);
  info.sGenre = pick(v1.sGenre, v2.sGenre);
  info.sComment = pick(v1.sComment, v2.sComment);
  info.sComposer = v2.sComposer;
}

// MPEG audio, alone or inside a WAVE file: taken when a frame is found.
bool ReadMPEG(const std::string& path, TrackInfo& info) {
  MPEGAudioInfo m;
  if (!ReadMPEGAudioInfo(path, m)) return false;
  info.iBitrateInKbs = m.iBitrate;
  info.iSampleRateInHz = m.iSampleRate;
  info.iTrackTimLength = static_cast<int32_t>(std::clamp<int64_t>(
      int64_t{m.iDuration} * 1000, 0, std::numeric_limits<int32_t>::max()));
  info.iFileSize = m.iFileSize;
  info.IsVBR = m.bVBR ? 255 : 0;
  return true;
}

void SetPCM(const PCMAudioInfo& p, TrackInfo& info) {
  info.iBitrateInKbs = p.iBitrate;
  info.iSampleRateInHz = p.iSampleRate;
  info.iTrackTimLength = p.iLength;
  info.iFileSize = p.iFileSize;
}

// The stream parameters of a file the core reads itself; returns why the
// file is not taken, empty when it is.
std::string ReadStream(const std::string& path, MediaReader reader, TrackInfo& info) {
  PCMAudioInfo p;
  switch (reader) {
    case MediaReader::kMPEGAudio:
      return ReadMPEG(path, info) ? "" : "not a valid MP3 file (no MPEG audio frame found)";
    case MediaReader::kWave:
      if (ReadWaveInfo(path, p)) {
        // Plain samples: the format and data chunks say it all.
        SetPCM(p, info);
        info.IsVBR = 0;
        return "";
      }
      if (p.iFormatTag != kWaveFormatMPEG && p.iFormatTag != kWaveFormatMPEGLayer3)
        return "not a valid WAVE file (no format or data chunk)";
      return ReadMPEG(path, info) ? "" : "not a valid WAVE file (no MPEG audio frame found)";
    case MediaReader::kAiff:
      if (!ReadAiffInfo(path, p)) return "not a valid AIFF file (no COMM chunk)";
      SetPCM(p, info);
      return "";
    case MediaReader::kAnalyser:
    case MediaReader::kMP4:
    case MediaReader::kProtected:
    case MediaReader::kConvertAudio:
    case MediaReader::kConvertVideo:
      break;
  }
  return "";
}

// An MP4 audio file, by our own reader: its stream and its tags.
Status ReadMP4Audio(const std::string& path, const MediaKind& kind, TrackInfo& info,
                    MediaFacts& facts) {
  MP4Info m;
  if (Status st = ReadMP4(path, &m); !st.ok()) {
    info.isFileSupported = false;
    return Status::Unsupported("not a valid MP4 audio file (" + st.message() + ")");
  }
  facts.tags = m.tags;
  if (m.encrypted) {
    info.isFileSupported = false;
    return Status::Unsupported(
        "a protected file from the iTunes Store: it plays only on computers authorised for its "
        "account, so it cannot be put on the iPod");
  }
  if (m.audio_codec != "aac" && m.audio_codec != "alac") {
    info.isFileSupported = false;
    facts.convert_audio = !m.audio_codec.empty() && m.video_codec.empty();
    return Status::Unsupported(m.audio_codec.empty()
                                   ? std::string("an MP4 file without audio")
                                   : "the iPod does not play " + m.audio_codec + " audio");
  }
  const Tags& t = m.tags;
  auto take = [](std::string& field, const std::string& value) {
    if (!value.empty()) field = value;
  };
  take(info.sTitle, t.title);
  take(info.sArtist, t.artist);
  take(info.sAlbum, t.album);
  take(info.sYear, t.year);
  take(info.sGenre, t.genre);
  take(info.sComment, t.comment);
  take(info.sComposer, t.composer);
  info.sAudioCodec = m.audio_codec;
  info.iBitrateInKbs = m.bitrate_kbps;
  info.iSampleRateInHz = m.sample_rate;
  info.iTrackTimLength = static_cast<int32_t>(
      std::clamp<int64_t>(m.duration_ms, 0, std::numeric_limits<int32_t>::max()));
  info.IsVBR = 0;
  const int64_t size = fs::FileSize(path);
  if (size < 0 || size > std::numeric_limits<int32_t>::max()) {
    info.isFileSupported = false;
    return Status::Unsupported("larger than the 2 GiB a track of the iPod can hold");
  }
  info.iFileSize = static_cast<int32_t>(size);
  // Audiobooks, by extension or by the kind the file's tags give, resume
  // where they were left and stay out of shuffles.
  if (kind.media_type == 8 || m.media_kind == 2) {
    info.iRememberPlayBackPos = 1;
    info.iSkipWhenShuffle = 1;
  }
  info.isFileSupported = true;
  return Status::OK();
}

// Whether the iPod plays the video of an MP4-family file: empty when it
// does, or when our reader cannot tell (the analyser's verdict stands).
std::string VideoVerdict(const std::string& path) {
  MP4Info m;
  if (!ReadMP4(path, &m).ok() || m.video_codec.empty()) return "";
  return VideoRefusal(m.video_codec, m.avc_profile, m.avc_level, m.width, m.height);
}

}  // namespace

Status DescribeMediaFile(const std::string& path, const MediaOptions& options,
                         TrackInfo* info, std::vector<Status>* analyser_errors) {
  return DescribeMediaFile(path, options, info, analyser_errors, nullptr);
}

Status DescribeMediaFile(const std::string& path, const MediaOptions& options, TrackInfo* info,
                         std::vector<Status>* analyser_errors, MediaFacts* facts) {
  MediaFacts ignored_facts;
  ignored_facts.check_video = false;
  if (!facts) facts = &ignored_facts;
  // Only regular files (or links to them) are read: opening a FIFO would
  // wait for a writer, here and in the external analyser alike.
  fs::FileStamp stamp;
  if (Status s = fs::StatFile(path, &stamp); !s.ok()) {
    info->isFileSupported = false;
    if (s.code() == Status::Code::kNotFound) return Status::NotFound("No such file: " + path);
    return Status::Invalid("Not a regular file: " + path);
  }
  std::vector<Status> ignored;
  if (!analyser_errors) analyser_errors = &ignored;
  ReadTags(path, *info);

  const MediaKind* kind = FindMediaKind(path);
  if (!kind)
    return Status::Unsupported("Not a kind of file the iPod plays (." +
                               AsciiLower(UpperExtension(path)) + ")");
  Status status;
  if (kind->reader == MediaReader::kMPEGAudio || kind->reader == MediaReader::kWave ||
      kind->reader == MediaReader::kAiff)
    ReadID3Tags(path, &facts->tags);
  if (kind->reader == MediaReader::kProtected) {
    info->isFileSupported = false;
    return Status::Unsupported(
        "a protected file from the iTunes Store: it plays only on computers authorised for its "
        "account, so it cannot be put on the iPod");
  }
  if (kind->reader == MediaReader::kConvertAudio || kind->reader == MediaReader::kConvertVideo) {
    const bool audio = kind->reader == MediaReader::kConvertAudio;
    (audio ? facts->convert_audio : facts->convert_video) = true;
    info->isFileSupported = false;
    return Status::Unsupported(
        audio ? "the iPod does not play ." + AsciiLower(UpperExtension(path)) +
                    " files as they are: they must be converted to AAC or Apple Lossless"
              : "the iPod does not play ." + AsciiLower(UpperExtension(path)) +
                    " video; --convert-video converts it");
  }
  if (kind->reader == MediaReader::kMP4) {
    status = ReadMP4Audio(path, *kind, *info, *facts);
  } else if (kind->reader == MediaReader::kAnalyser) {
    status = AnalyseMediaFile(path, *info, options, analyser_errors);
    if (status.ok() && facts->check_video && kind->codecs_checked) {
      facts->video_refusal = VideoVerdict(path);
      if (!facts->video_refusal.empty()) {
        info->isFileSupported = false;
        facts->convert_video = true;
        status = Status::Unsupported(facts->video_refusal);
      }
    }
  } else {
    // Read here, so a file is taken only when its stream parses.
    const std::string why = ReadStream(path, kind->reader, *info);
    info->isFileSupported = why.empty();
    if (!why.empty()) status = Status::Unsupported(why);
  }
  info->iType = kind->media_type;
  if (kind->movie) info->IsMovie = 1;
  info->sFiletype = std::string(kind->file_type);
  return status;
}

}  // namespace cadenza
