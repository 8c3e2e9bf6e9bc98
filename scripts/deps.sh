#!/usr/bin/env bash
# Installs the Debian packages that building, testing, packaging and the demo need.
# Idempotent and non-interactive: does nothing when everything is already there.
set -euo pipefail

packages=(
  # build
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev nlohmann-json3-dev
  # X11 capture and input
  libx11-dev libx11-xcb-dev libxcb1-dev libxcb-shm0-dev libxcb-xfixes0-dev libxcb-damage0-dev
  libxcb-randr0-dev libxcb-xinput-dev libxcb-xtest0-dev libxi-dev libxtst-dev libxfixes-dev
  libxdamage-dev libyuv-dev
  # codecs and containers
  libx264-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg libopus-dev
  # sound
  libpulse-dev
  # the Debian package: cpack's dependency scan (file, dpkg-shlibdeps from dpkg-dev) and
  # reading the installed manual pages; python3 checks JSON in scripts/package_test.sh
  file dpkg-dev man-db groff-base python3
  # test and demo services and tools
  xvfb x11-utils x11-xserver-utils x11-apps xinput xdotool procps util-linux
  # private sound servers: PulseAudio, and PipeWire with its PulseAudio server
  pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus
  # Wayland capture: the ScreenCast portal over GDBus, PipeWire, the compositor's outputs
  libpipewire-0.3-dev libwayland-dev wayland-protocols libglib2.0-dev
  # the Wayland test desktop: headless sway, the portals, gdbus; and what rebuilding the
  # patched portal-wlr needs (scripts/wayland/build_portal_wlr.sh)
  sway swaybg xdg-desktop-portal xdg-desktop-portal-wlr libglib2.0-bin
  meson ninja-build libinih-dev libgbm-dev libdrm-dev libsystemd-dev scdoc
  # the GNOME test desktop: headless mutter, the GNOME portal backend and the font its
  # dialog is measured with; GStreamer to look at the screen (tests) and as the Wayland
  # benchmark's peer (pipewiresrc, x264enc)
  mutter xdg-desktop-portal-gnome fonts-dejavu-core
  gstreamer1.0-tools gstreamer1.0-pipewire gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-ugly
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The patched portal-wlr of the Wayland tests, built once per machine (cached).
$sudo "$(dirname "$0")/wayland/build_portal_wlr.sh" >/dev/null
