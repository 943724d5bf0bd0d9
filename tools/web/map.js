// map.js -- the sink's live map: polls the sink for new batches and draws their points.
'use strict';
(function () {
  var POLL_MS = 250;          // a new batch shows within a second
  var TICK_MS = 50;           // how often points appear, fade and go
  var FADE_MS = 500;          // a point fades out over this long after its visible time
  var RADIUS_PX = 5;          // radius of a point without r; r is in screen pixels
  var RADIUS_MAX_PX = 200;    // larger r would hide the map
  var FILL = '#3388ff';       // colour of a point without c
  var FILL_OPACITY = 0.85;
  var OUTLINE_PX = 2;
  var SHOWN_MAX = 20000;      // beyond this many points on the map, the oldest go
  var ZIPS_LISTED = 200;      // zip code points kept in the panel

  var map = L.map('map', { preferCanvas: true, worldCopyJump: true, minZoom: 1 })
    .setView([25, 10], 2);
  window.halvexSinkMap = map;  // for tests and the browser's console
  map.attributionControl.addAttribution('Land: Natural Earth');
  map.createPane('land').style.zIndex = 350;  // under the points' overlay pane
  var pointRenderer = L.canvas({ padding: 0.2 });

  // A ring that crosses the 180th meridian and back, drawn in one piece: longitudes made
  // continuous, then the whole ring moved by whole turns so that its middle lies in -180..180.
  // Rings that go round a pole (Antarctica) stay as they are.
  function ringUnwrap(ring) {
    var shift = 0, sum = 0;
    var out = ring.map(function (c, k) {
      var d = k ? c[0] - ring[k - 1][0] : 0;
      shift += d > 180 ? -360 : d < -180 ? 360 : 0;
      sum += c[0] + shift;
      return [c[0] + shift, c[1]];
    });
    if (shift !== 0) return ring;
    var turns = 360 * Math.round(sum / out.length / 360);
    return out.map(function (c) { return [c[0] - turns, c[1]]; });
  }

  function landFeature(topo) {
    var land = topojson.feature(topo, topo.objects.land);
    land.features.forEach(function (f) {
      var g = f.geometry;
      var polygons = g.type === 'Polygon' ? [g.coordinates] : g.coordinates;
      polygons.forEach(function (p, i) { polygons[i] = p.map(ringUnwrap); });
      if (g.type === 'Polygon') g.coordinates = polygons[0];
    });
    return land;
  }

  fetch('node_modules/world-atlas/land-50m.json')
    .then(function (r) { return r.json(); })
    .then(function (topo) {
      L.geoJSON(landFeature(topo), {
        renderer: L.canvas({ pane: 'land' }), interactive: false,
        style: { color: '#978f70', weight: 0.7, fillColor: '#efeadb', fillOpacity: 1 }
      }).addTo(map);
      map.getContainer().dataset.land = 'drawn';
    })
    .catch(function (e) { statusSet('land outlines not loaded: ' + e); });

  var pending = [];  // points waiting for their delay: {show, hide, marker}
  var shown = [];    // points on the map, oldest first
  var seq = 0;       // the last batch number taken from the sink

  function $(id) { return document.getElementById(id); }
  function statusSet(text) { $('status').textContent = text; }

  function colour(text, fallback) {
    return typeof text === 'string' && /^#[0-9a-fA-F]{6}$/.test(text) ? text : fallback;
  }

  // The colour at 60 % brightness: the outline of a point without c2.
  function darker(hex) {
    var n = parseInt(hex.slice(1), 16);
    var d = [16, 8, 0].map(function (s) { return Math.round(((n >> s) & 255) * 0.6); });
    return '#' + d.map(function (v) { return (v < 16 ? '0' : '') + v.toString(16); }).join('');
  }

  function count(v) { return typeof v === 'number' && v > 0 ? v : 0; }

  function markerMake(pt) {
    var fill = colour(pt.c, FILL);
    return L.circleMarker([pt.lat, pt.lng], {
      renderer: pointRenderer, interactive: false,
      radius: Math.min(count(pt.r) || RADIUS_PX, RADIUS_MAX_PX),
      fillColor: fill, fillOpacity: FILL_OPACITY,
      color: colour(pt.c2, darker(fill)), weight: OUTLINE_PX, opacity: 1
    });
  }

  function zipList(pt, time) {
    var li = document.createElement('li');
    var fill = colour(pt.c, FILL);
    var sw = document.createElement('span');
    sw.className = 'swatch';
    sw.style.background = fill;
    sw.style.borderColor = colour(pt.c2, darker(fill));
    sw.title = 'c ' + (pt.c || 'none') + ', c2 ' + (pt.c2 || 'none');
    var zip = document.createElement('span');
    zip.className = 'zip';
    zip.textContent = String(pt.zipcode);
    var when = document.createElement('span');
    when.className = 'when';
    when.textContent = time.slice(11) + (count(pt.delay) ? ' +' + pt.delay + ' ms' : '');
    li.append(sw, zip, when);
    var list = $('zips');
    list.insertBefore(li, list.firstChild);
    while (list.children.length > ZIPS_LISTED) list.removeChild(list.lastChild);
  }

  // A batch that arrived ageMs ago: each point shows delay ms after the arrival, for
  // visible_time ms when that is set (else until SHOWN_MAX newer points push it out).
  function batchTake(b, now) {
    var arrived = now - b.ageMs;
    b.points.forEach(function (pt) {
      if (!pt || typeof pt !== 'object') return;
      var show = arrived + count(pt.delay);
      var hide = count(pt.visible_time) ? show + pt.visible_time : Infinity;
      if (typeof pt.lat === 'number' && typeof pt.lng === 'number') {
        if (hide + FADE_MS > now) pending.push({ show: show, hide: hide, marker: markerMake(pt) });
      } else if (pt.zipcode !== undefined) {
        zipList(pt, b.time);
      }
    });
  }

  function tick() {
    var now = performance.now();
    pending = pending.filter(function (p) {
      if (p.show > now) return true;
      p.marker.addTo(map);
      shown.push(p);
      return false;
    });
    shown = shown.filter(function (p, i) {
      var left = now < p.hide ? 1 : 1 - (now - p.hide) / FADE_MS;
      if (left <= 0 || i < shown.length - SHOWN_MAX) {
        p.marker.remove();
        return false;
      }
      if (left < 1) p.marker.setStyle({ opacity: left, fillOpacity: left * FILL_OPACITY });
      return true;
    });
    $('visible').textContent = shown.length;
  }

  function stateShow(s) {
    if (s.seq < seq) seq = 0;  // the sink was restarted: its numbers start again
    var now = performance.now();
    s.fresh.forEach(function (b) { if (b.seq > seq) batchTake(b, now); });
    seq = Math.max(seq, s.seq);
    $('map-id').textContent = s.mapId || 'none yet';
    $('batches').textContent = s.batches;
    $('points').textContent = s.points;
    $('last-batch').textContent = s.lastBatch || 'none yet';
    $('dropped').textContent = s.dropped > 0 ? 'The sink keeps the newest ' + s.kept +
      ' points for this page; ' + s.dropped + ' older ones were dropped.' : '';
    statusSet('');
  }

  // Only the batches after the last one taken come back.
  function poll() {
    fetch('state?after=' + seq, { cache: 'no-store' })
      .then(function (r) {
        if (!r.ok) throw new Error('status ' + r.status);
        return r.json();
      })
      .then(stateShow)
      .catch(function (e) { statusSet('sink not reachable (' + e.message + ')'); })
      .finally(function () { setTimeout(poll, POLL_MS); });
  }

  setInterval(tick, TICK_MS);
  poll();
})();
