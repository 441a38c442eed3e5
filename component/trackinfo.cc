// SetTrackInfo: describes a media file from its tags and streams.
#include "cadenza/cadenza.h"
#include "media/describe.h"

namespace cadenza {

bool clsCadenza::SetTrackInfo(const std::string& sFilePath, TrackInfo& tInfo) {
  MediaOptions options;
  options.component_folder = ComponentFolder();
  options.tick = [this] {
    m_host->DoEvents();
    return true;
  };
  std::vector<Status> analyser_errors;
  // The class keeps its own rule for which videos it takes.
  MediaFacts facts;
  facts.check_video = false;
  m_status = DescribeMediaFile(sFilePath, options, &tInfo, &analyser_errors, &facts);
  m_lastTags = facts.tags;
  m_sLastTagsFile = sFilePath;
  for (const Status& e : analyser_errors) Ask(AnalysisErrorMessage(e), "", kMsgCritical | kMsgOK);
  // False only when the file could not be looked at; a file that was read
  // but is not taken gives true with the reason in the status.
  return m_status.ok() || m_status.code() == Status::Code::kUnsupported ||
         m_status.code() == Status::Code::kCancelled;
}

}  // namespace cadenza
