// SetTrackInfo: describes a media file from its tags and streams.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

#include "cadenza/cadenza.h"
#include "media/ffmpeg.h"
#include "media/id3.h"
#include "media/mpeg_audio.h"
#include "media/pcm_audio.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace cadenza {

bool clsCadenza::SetTrackInfo(const std::string& sFilePath, TrackInfo& tInfo) {
  namespace stdfs = std::filesystem;
  // Only regular files (or links to them) are read: opening a FIFO would
  // wait for a writer, here and in the external analyser alike.
  struct stat st;
  if (::stat(sFilePath.c_str(), &st) != 0) {
    const int err = errno;
    tInfo.isFileSupported = false;
    if (err == ENOENT || err == ENOTDIR)
      m_status = Status::NotFound("No such file: " + sFilePath);
    else
      m_status = Status::IOError("Cannot read " + sFilePath + ": " + std::strerror(err));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    tInfo.isFileSupported = false;
    m_status = Status::Invalid("Not a regular file: " + sFilePath);
    return false;
  }
  ID3TagInfo v1, v2;
  ClearTagInfo(v1);
  ClearTagInfo(v2);
  ReadID3v1Tag(sFilePath, v1);
  ReadID3v2Tag(sFilePath, v2);
  auto pick = [](const std::string& a, const std::string& b) { return b.empty() ? a : b; };
  tInfo.sArtist = pick(v1.sArtist, v2.sArtist);
  tInfo.sAlbum = pick(v1.sAlbum, v2.sAlbum);
  tInfo.sTitle = pick(v1.sTitle, v2.sTitle);
  if (tInfo.sTitle.empty()) tInfo.sTitle = stdfs::path(sFilePath).filename().string();
  tInfo.sYear = pick(v1.sYear, v2.sYear);
  tInfo.sGenre = pick(v1.sGenre, v2.sGenre);
  tInfo.sComment = pick(v1.sComment, v2.sComment);
  tInfo.sComposer = v2.sComposer;

  std::string ext = stdfs::path(sFilePath).extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  ext = AsciiUpper(ext);

  // MPEG audio, alone or inside a WAVE file: taken when a frame is found.
  auto from_mpeg = [&] {
    MPEGAudioInfo m;
    if (!ReadMPEGAudioInfo(sFilePath, m)) return false;
    tInfo.iBitrateInKbs = m.iBitrate;
    tInfo.iSampleRateInHz = m.iSampleRate;
    tInfo.iTrackTimLength = static_cast<int32_t>(std::clamp<int64_t>(
        int64_t{m.iDuration} * 1000, 0, std::numeric_limits<int32_t>::max()));
    tInfo.iFileSize = m.iFileSize;
    tInfo.IsVBR = m.bVBR ? 255 : 0;
    return true;
  };
  m_status = Status::OK();
  if (ext == "MP3" || ext == "WAV" || ext == "AIFF") {
    // These are read here, so a file is taken only when its stream parses.
    std::string why;
    PCMAudioInfo p;
    if (ext == "MP3") {
      if (!from_mpeg()) why = "not a valid MP3 file (no MPEG audio frame found)";
    } else if (ext == "WAV" && ReadWaveInfo(sFilePath, p)) {
      // Plain samples: the format and data chunks say it all.
      tInfo.iBitrateInKbs = p.iBitrate;
      tInfo.iSampleRateInHz = p.iSampleRate;
      tInfo.iTrackTimLength = p.iLength;
      tInfo.iFileSize = p.iFileSize;
      tInfo.IsVBR = 0;
    } else if (ext == "WAV") {
      const bool mpeg = p.iFormatTag == kWaveFormatMPEG || p.iFormatTag == kWaveFormatMPEGLayer3;
      if (!mpeg) why = "not a valid WAVE file (no format or data chunk)";
      else if (!from_mpeg()) why = "not a valid WAVE file (no MPEG audio frame found)";
    } else if (ReadAiffInfo(sFilePath, p)) {
      tInfo.iBitrateInKbs = p.iBitrate;
      tInfo.iSampleRateInHz = p.iSampleRate;
      tInfo.iTrackTimLength = p.iLength;
      tInfo.iFileSize = p.iFileSize;
    } else {
      why = "not a valid AIFF file (no COMM chunk)";
    }
    tInfo.iType = 1;
    tInfo.isFileSupported = why.empty();
    if (!why.empty()) m_status = Status::Unsupported(why);
  } else if (ext == "MP2" || ext == "AAC" || ext == "MP4" || ext == "MPEG" || ext == "MPG" ||
             ext == "MPEG4" || ext == "M4V" || ext == "MOV") {
    if (!AnalyseMediaFile(sFilePath, tInfo, *m_host, ComponentFolder()))
      m_status = Status::Unsupported("The analyser could not describe " + sFilePath);
    tInfo.iType = 2;
    tInfo.IsMovie = 1;
  } else {
    m_status = Status::Unsupported("Not a kind of file the iPod plays (." + AsciiLower(ext) + ")");
  }

  if (ext == "MP3") tInfo.sFiletype = "MP3";
  else if (ext == "AAC") tInfo.sFiletype = "AAC";
  else if (ext == "WAV") tInfo.sFiletype = "WAV";
  else if (ext == "AIFF") tInfo.sFiletype = "AIFF";
  else if (ext == "MP4" || ext == "MP2" || ext == "MPEG" || ext == "MPG" || ext == "MPEG4" ||
           ext == "M4V" || ext == "MOV")
    tInfo.sFiletype = "MP4";
  return true;
}

}  // namespace cadenza
