#include "session/link_frame_gap.h"

namespace quorvel {

FrameGapChoice LinkFrameGap(const TLinkBase& link) {
  return link.AutoTimeOut() ? FrameGapChoice::Auto() : FrameGapChoice::Fixed(link.TimeOut());
}

void SetLinkFrameGap(TLinkBase& link, FrameGapChoice gap) {
  if (gap.automatic) {
    link.SetAutoTimeOut(true);
  } else {
    link.SetTimeOut(gap.ms);
  }
}

bool LinkHasShortFrameGap(const TLinkBase& link) {
  return link.AutoTimeOut() && link.TimeOut() < kStandardQuietPeriodMs;
}

}  // namespace quorvel
