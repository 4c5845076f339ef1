"""Plays MP4 files in headless Chromium: browser_check.py FOLDER NAME=T1,T2 ... loads each file
from a local server (which answers range requests, as a browser needs for seeking), plays it
for half a second (or to its end), then seeks to each time and reads the colour at the
centre of the picture. Prints per file "NAME video BYTES audio BYTES", then "seek T R G B" lines,
or "NAME error TEXT"."""
import functools
import http.server
import os
import sys
import tempfile
import threading

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
  for (const t of seeks) {
    await new Promise(r => { v.onseeked = r; v.currentTime = t; });
    c.getContext('2d').drawImage(v, 0, 0);
    const p = c.getContext('2d').getImageData(c.width >> 1, c.height >> 1, 1, 1).data;
    out += `\\nseek ${t} ${p[0]} ${p[1]} ${p[2]}`;
  }
  done(out);
};
"""


class RangeHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send_head(self):
        path = self.translate_path(self.path)
        if "Range" not in self.headers or not os.path.isfile(path):
            return super().send_head()
        size = os.path.getsize(path)
        first, _, last = self.headers["Range"].split("=")[1].partition("-")
        first, last = int(first), int(last) if last else size - 1
        self.send_response(206)
        self.send_header("Content-Type", "video/mp4")
        self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
        self.send_header("Content-Length", str(last - first + 1))
        self.end_headers()
        with open(path, "rb") as f:
            f.seek(first)
            self.wfile.write(f.read(last - first + 1))
        return None


def main():
    handler = functools.partial(RangeHandler, directory=sys.argv[1])
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    profile = tempfile.TemporaryDirectory(prefix="vexlor-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--autoplay-policy=no-user-gesture-required",
                 "--user-data-dir=" + profile.name]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        base = f"http://127.0.0.1:{server.server_address[1]}/"
        driver.get(base)
        driver.set_script_timeout(120)
        for arg in sys.argv[2:]:
            name, _, times = arg.partition("=")
            seeks = [float(t) for t in times.split(",") if t]
            print(name, driver.execute_async_script(PLAY, base + name, seeks), flush=True)
    finally:
        driver.quit()
        profile.cleanup()


main()
