// The program's name, version, build stamp and built-in defaults. Each text
// is a constant with static lifetime; any thread may call these.
#pragma once

// "1.0.28".
const char* getProjectVersion();
// "lumacore".
const char* getProjectName();
// "LPC Lumacore".
const char* getProjectDescription();
// "lumacore.json", the configuration file's name beside the executable.
const char* getDefaultConfigFile();
// 1414, the TCP service's port.
unsigned int getDefaultPort();
// "/dev/lpc", the microcontroller's serial device.
const char* getDefaultDevice();
// The compiler's build date, for example "Nov 11 2024".
const char* getProgramBuildDate();
// The compiler's build time, for example "12:12:16".
const char* getProgramBuildTime();
