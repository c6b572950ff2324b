// Service ports and the terminal address.
#pragma once

class CTcpUtils {
public:
    // The port in the environment variable "KO_PORT_<service>": the low 16 bits
    // of its decimal value when that is not 0 and they are not 0, else -1.
    static int GetServiceFromEnv(const char* service);
    // The environment's port when positive, else the services database entry
    // for the name with protocol "tcp" (isTcp) or "udp", in host byte order,
    // else -1.
    static int GetServicePort(const char* service, bool isTcp);
    // The port a text of decimal digits names: its value, or -1 when it has
    // more than five digits or the value exceeds 65,535.
    static int PortFromDigits(const char* digits);
    // The dotted IPv4 address of the host part of DISPLAY (the text before its
    // first ':'; none when it has no ':'), or of this machine's host name when
    // DISPLAY is unset. A static buffer, or null when nothing resolves.
    static const char* GetTerminalIP();
};
