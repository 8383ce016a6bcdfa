// The frame gap of a run as either link component keeps it: its TimeOut,
// chosen from the line (auto) or fixed.
#pragma once

#include "link/link_base.h"
#include "run/run_host.h"

namespace quorvel {

FrameGapChoice LinkFrameGap(const TLinkBase& link);
void SetLinkFrameGap(TLinkBase& link, FrameGapChoice gap);
// The automatic gap is in use and shorter than the standard one.
bool LinkHasShortFrameGap(const TLinkBase& link);

}  // namespace quorvel
