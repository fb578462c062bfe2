# The Wi-Fi probe asks NetworkManager over D-Bus.
find_package(Qt5 REQUIRED COMPONENTS DBus)
target_link_libraries(core PUBLIC Qt5::DBus)
