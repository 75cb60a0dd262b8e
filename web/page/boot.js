// Runs before the page's modules, as a plain script: opened from a file
// (file://), the browser will not run the modules or the engine, and the
// page would do nothing at all. It says so instead, and how to serve it.
if (location.protocol === 'file:') {
  document.addEventListener('DOMContentLoaded', () => {
    document.getElementById('served').hidden = false;
    document.getElementById('source').hidden = true;
    document.documentElement.dataset.ready = 'file';
  });
}
