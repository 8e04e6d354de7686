# The bridge's install rules and its package, ortv-mqtt-bridge (component bridge): the program,
# its systemd unit and its settings in /etc/default. Included by packaging/CMakeLists.txt, in its
# scope, before CPack.
set(bridge_dir ${CMAKE_CURRENT_LIST_DIR})

install(TARGETS ortv-mqtt-bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT bridge)
configure_file(${bridge_dir}/ortv-mqtt-bridge.service.in ortv-mqtt-bridge.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ortv-mqtt-bridge.service
        DESTINATION lib/systemd/system COMPONENT bridge)
# /etc/default below the prefix /usr: GNUInstallDirs makes that /etc.
install(FILES ${bridge_dir}/ortv-mqtt-bridge.default
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME ortv-mqtt-bridge
        COMPONENT bridge)

set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME ortv-mqtt-bridge)
set(CPACK_DEBIAN_BRIDGE_DESCRIPTION "ORTV data server values on an MQTT broker
ortv-mqtt-bridge publishes every value of an ORTV data server as a
retained MQTT message (PREFIX/data/KEY) and stores what is published on
PREFIX/set/KEY in the server, for Node-RED, Home Assistant, Telegraf and
other MQTT programs. Runs as the systemd service ortv-mqtt-bridge; the
server and the broker may run on other machines.")
# libmosquitto and Qt come from the binary (dpkg-shlibdeps). The broker usually runs beside it;
# the server need not.
set(CPACK_DEBIAN_BRIDGE_PACKAGE_RECOMMENDS mosquitto)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_EXTRA
    ${bridge_dir}/postinst ${bridge_dir}/prerm ${bridge_dir}/postrm ${bridge_dir}/conffiles)
