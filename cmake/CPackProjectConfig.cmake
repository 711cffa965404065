# Read by cpack before it installs the components. The install scripts run in the cpack
# process, so they see this and leave the configuration files to the package's postinst.
set(ENV{RS485_PACKAGING} 1)
