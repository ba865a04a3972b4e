#pragma once

bool ckIsBigEndian();
bool ckIsLittleEndian();
