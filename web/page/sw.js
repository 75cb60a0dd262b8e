// The service worker: keeps the page's files, the engine among them, from
// the first visit on, so that the page loads and lists archives with the
// network gone. Each request asks the network first (a server with a newer
// page serves it) and falls back to the kept copy; every answer the network
// gives refreshes the copy.
const CACHE = 'morquent-page';
const FILES = ['./', 'index.html', 'style.css', 'boot.js', 'app.js', 'protocol.js', 'engine-client.js', 'list.js',
  'preview.js', 'save.js', 'edit.js', 'parts.js', 'settings.js', 'worker.js', 'engine.js', 'engine.wasm',
  'client-zip.js', 'favicon.svg', 'manifest.webmanifest'];

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(self.clients.claim());
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== self.location.origin) return;
  event.respondWith((async () => {
    const cache = await caches.open(CACHE);
    try {
      const response = await fetch(request);
      if (response.ok) await cache.put(request, response.clone());
      return response;
    } catch (error) {
      const kept = await cache.match(request, {ignoreSearch: true});
      if (kept) return kept;
      throw error;
    }
  })());
});
