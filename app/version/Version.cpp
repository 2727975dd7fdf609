#include "app/version/Version.h"

// The version comes from the project's own declaration in the build files.
const char* getProjectVersion()
{
    return LUMACORE_VERSION;
}

const char* getProjectName()
{
    return "lumacore";
}

const char* getProjectDescription()
{
    return "LPC Lumacore";
}

const char* getDefaultConfigFile()
{
    return "lumacore.json";
}

unsigned int getDefaultPort()
{
    return 1414;
}

const char* getDefaultDevice()
{
    return "/dev/lpc";
}

const char* getProgramBuildDate()
{
    return __DATE__;
}

const char* getProgramBuildTime()
{
    return __TIME__;
}
