"""Plays MP4 files in headless Chromium: browser_check.py FOLDER NAME=T@F,T@F ... plays each file
of FOLDER for half a second (or to its end), then seeks to each time T, waits until the picture
of time F (the last one at or before T) is shown, and reads the colour at its centre. Prints per
file "NAME video BYTES audio BYTES" (what was decoded), then "seek T R G B" lines; or
"NAME error TEXT"."""
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

PLAY = """
const [url, seeks, done] = arguments;
const v = document.createElement('video');
v.src = url;
v.onerror = () => done('error ' + (v.error ? v.error.message : ''));
v.onloadedmetadata = async () => {
  await v.play();
  while (!v.webkitVideoDecodedByteCount || (v.currentTime < 0.5 && !v.ended))
    await new Promise(r => setTimeout(r, 20));
  let out = `video ${v.webkitVideoDecodedByteCount} audio ${v.webkitAudioDecodedByteCount}`;
  v.pause();
  const c = document.createElement('canvas');
  [c.width, c.height] = [v.videoWidth, v.videoHeight];
  for (const [t, frame] of seeks) {
    await new Promise(r => {
      let seeked = false, shown = false;
      const shownAt = (now, m) => Math.abs(m.mediaTime - frame) < 1e-3 ?
          (shown = true, seeked && r()) : v.requestVideoFrameCallback(shownAt);
      v.requestVideoFrameCallback(shownAt);
      v.onseeked = () => (seeked = true, shown && r());
      v.currentTime = t;
    });
    c.getContext('2d').drawImage(v, 0, 0);
    const p = c.getContext('2d').getImageData(c.width >> 1, c.height >> 1, 1, 1).data;
    out += `\\nseek ${t} ${p[0]} ${p[1]} ${p[2]}`;
  }
  done(out);
};
"""

with tempfile.TemporaryDirectory(prefix="vexlor-chromium-") as profile:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--autoplay-policy=no-user-gesture-required", "--allow-file-access-from-files",
                 "--user-data-dir=" + profile]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        base = "file://" + sys.argv[1] + "/"
        driver.get(base)
        driver.set_script_timeout(120)
        for arg in sys.argv[2:]:
            name, _, times = arg.partition("=")
            seeks = [[float(x) for x in t.split("@")] for t in times.split(",") if t]
            print(name, driver.execute_async_script(PLAY, base + name, seeks), flush=True)
    finally:
        driver.quit()
