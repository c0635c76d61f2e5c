#!/usr/bin/env bash
# What the package holds, for the package tests (sourced): the folder that
# pack.sh leaves the install tree and the .deb in, and the files expected.
package_work="$1/package-test"
doc=usr/share/doc/korva-dudedoved
expected=(usr/bin/dudedoved usr/bin/korvasim usr/bin/korvastation
          usr/share/man/man1/dudedoved.1.gz usr/share/man/man1/korvasim.1.gz usr/share/man/man1/korvastation.1.gz
          usr/lib/korva/boot_image.bin usr/lib/korva/boot_image.elf "$doc/copyright" "$doc/changelog.gz"
          usr/lib/systemd/system/korvastation.service usr/lib/sysusers.d/korva.conf "$doc/examples/station.toml")
