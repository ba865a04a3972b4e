// The identification line the client sends unless its caller sets another: this product and its
// version, so that servers apply no other client's workarounds to us.
#pragma once

inline constexpr const char *kSshDefaultClientIdent = "SSH-2.0-Ferrowen_" FERROWEN_VERSION;
