#include "media/describe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "media/id3.h"
#include "media/media_kind.h"
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
      break;
  }
  return "";
}

}  // namespace

Status DescribeMediaFile(const std::string& path, const MediaOptions& options,
                         TrackInfo* info, std::vector<Status>* analyser_errors) {
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
  if (kind->reader == MediaReader::kAnalyser) {
    status = AnalyseMediaFile(path, *info, options, analyser_errors);
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
