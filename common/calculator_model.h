// The calculator in update mode as the operating system sees it: a USB
// mass-storage disk of this vendor and product. Discovery matches these
// (case-insensitively, spaces as underscores) against every disk's identity;
// the simulated calculator reports them by default.
#pragma once

namespace calculator_model {

constexpr char16_t kVendor[] = u"XQ";
constexpr char16_t kProduct[] = u"Tavix update";

} // namespace calculator_model
