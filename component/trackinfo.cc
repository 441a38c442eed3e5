// SetTrackInfo: describes a media file from its tags and streams.
#include <filesystem>

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

  auto from_mpeg = [&] {
    MPEGAudioInfo m;
    ReadMPEGAudioInfo(sFilePath, m);
    tInfo.iBitrateInKbs = m.iBitrate;
    tInfo.iSampleRateInHz = m.iSampleRate;
    tInfo.iTrackTimLength = m.iDuration * 1000;
    tInfo.iFileSize = m.iFileSize;
    tInfo.IsVBR = m.bVBR ? 255 : 0;
  };
  m_status = Status::OK();
  if (ext == "MP3" || ext == "WAV") {
    PCMAudioInfo w;
    if (ext == "WAV" && ReadWaveInfo(sFilePath, w)) {
      // Plain samples: the format and data chunks say it all. (MPEG audio
      // inside a WAVE file goes through the frame analysis.)
      tInfo.iBitrateInKbs = w.iBitrate;
      tInfo.iSampleRateInHz = w.iSampleRate;
      tInfo.iTrackTimLength = w.iLength;
      tInfo.iFileSize = w.iFileSize;
      tInfo.IsVBR = 0;
    } else {
      from_mpeg();
    }
    tInfo.iType = 1;
    tInfo.isFileSupported = true;
  } else if (ext == "MP2" || ext == "AAC" || ext == "MP4" || ext == "MPEG" || ext == "MPG" ||
             ext == "MPEG4" || ext == "M4V" || ext == "MOV") {
    if (!AnalyseMediaFile(sFilePath, tInfo, *m_host, ComponentFolder()))
      m_status = Status::Unsupported("The analyser could not describe " + sFilePath);
    tInfo.iType = 2;
    tInfo.IsMovie = 1;
  } else if (ext == "AIFF") {
    PCMAudioInfo a;
    if (ReadAiffInfo(sFilePath, a)) {
      tInfo.iBitrateInKbs = a.iBitrate;
      tInfo.iSampleRateInHz = a.iSampleRate;
      tInfo.iTrackTimLength = a.iLength;
      tInfo.iFileSize = a.iFileSize;
    } else {
      tInfo.iTrackTimLength = 600000;  // no common chunk: ten minutes
    }
    tInfo.iType = 1;
    tInfo.isFileSupported = true;
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
