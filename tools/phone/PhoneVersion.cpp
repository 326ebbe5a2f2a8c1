// voxlet-phone internals (filled in with the phone stand-in).
namespace voxlet_phone { const char* version() { return "0.1"; } }
