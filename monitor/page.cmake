# Turns the page into a C++ source, so the station serves it without files.
file(READ ${SRC} page)
file(WRITE ${OUT} "#include \"monitor_server.h\"\nconst std::string& monitor_page() {\n  static const std::string page = R\"mdqpage(${page})mdqpage\";\n  return page;\n}\n")
